// The derived counts and percentages of one library's report rows.
#include <string>

#include "Constants.h"
#include "LibraryMetrics.h"
#include "support/Utilities.h"

namespace {

const char* const TOTAL_AFTER_FILTERING = "Number of reads after quality filtering";

std::string __count(unsigned long value) {
    return std::to_string(value);
}

void __push(JsonValue& array, const std::string& text) {
    array[static_cast<int>(array.size())] = text;
}

} // namespace

JsonValue LibraryMetrics::calculateRelativeMetrics(const JsonValue& readQuality) {
    if (readQuality.getType() != JsonValue::OBJECT)
        throw std::runtime_error(std::string("Cannot access member key ( ") +
                                 TOTAL_AFTER_FILTERING +
                                 " ) from non-object type: " + readQuality.getTypeString());
    JsonValue quality = readQuality; // member access below is non-const
    if (!quality.hasMember(TOTAL_AFTER_FILTERING))
        throw std::out_of_range("map::at");
    unsigned long totalReads = static_cast<unsigned long>(quality[TOTAL_AFTER_FILTERING]);

    JsonValue result(JsonValue::OBJECT);
    JsonValue& readStats = result["read_stats"] = JsonValue(JsonValue::ARRAY);
    __push(readStats, __count(totalReads));
    __push(readStats, __count(cellularReads));
    __push(readStats, percentText(cellularReads, totalReads));
    __push(readStats, __count(uniquelyAlignedReads));
    __push(readStats, percentText(uniquelyAlignedReads, totalReads));
    __push(readStats, __count(usefulReads));
    __push(readStats, percentText(usefulReads, totalReads));

    JsonValue& mapStats = result["map_stats"] = JsonValue(JsonValue::ARRAY);
    __push(mapStats, __count(cellularReads));
    categoryCounts["Mapped_to_Genes"] = 0;
    categoryCounts["Other_Antisense"] = 0;
    unsigned long& mapped = categoryCounts["Mapped_to_Genes"];
    unsigned long& antisense = categoryCounts["Other_Antisense"];
    for (const auto& entry : categoryCounts) {
        if (strStartsWith(entry.first, "Other_Antisense"))
            antisense += entry.second;
        if (strStartsWith(entry.first, "Mapped_to_Genes"))
            mapped += entry.second;
    }
    categoryCounts["Other"] =
        cellularReads - mapped - categoryCounts["Unaligned"] - categoryCounts["Not_Unique"];
    for (const std::string& category : WTA_ALIGNMENT_TYPES) {
        __push(mapStats, __count(categoryCounts[category]));
        __push(mapStats, percentText(categoryCounts[category], cellularReads));
    }

    if (!sampleTagsVersion.empty()) {
        JsonValue& tagStats = result["tag_stats"] = JsonValue(JsonValue::ARRAY);
        bool targeted = assayType == Targeted;
        unsigned long total = sampleTagReads;
        __push(tagStats, __count(total));
        __push(tagStats, __count(usefulSampleTagReads));
        __push(tagStats, percentText(usefulSampleTagReads, total));
        __push(tagStats, __count(cellularSampleTagReads));
        __push(tagStats, percentText(cellularSampleTagReads, total));
        __push(tagStats, targeted ? __count(sampleTagCorrectStartReads) : "NA");
        __push(tagStats, targeted ? percentText(sampleTagCorrectStartReads, total) : "NA");
        __push(tagStats, targeted ? __count(sampleTagAlignLengthReads) : "NA");
        __push(tagStats, targeted ? percentText(sampleTagAlignLengthReads, total) : "NA");
        __push(tagStats, __count(usefulSampleTagReads));
    }

    if (!vdjVersion.empty()) {
        JsonValue& vdjStats = result["vdj_stats"] = JsonValue(JsonValue::ARRAY);
        unsigned long total = vdjReads;
        __push(vdjStats, __count(total));
        __push(vdjStats, __count(cellularVdjReads));
        __push(vdjStats, percentText(cellularVdjReads, total));
        __push(vdjStats, __count(usefulVdjReads));
        __push(vdjStats, percentText(usefulVdjReads, total));
        __push(vdjStats, __count(usefulVdjBcrReads));
        __push(vdjStats, percentText(usefulVdjBcrReads, total));
        __push(vdjStats, __count(usefulVdjTcrReads));
        __push(vdjStats, percentText(usefulVdjTcrReads, total));
    }
    return result;
}
