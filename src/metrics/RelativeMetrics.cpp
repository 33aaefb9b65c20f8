// The derived counts and percentages of one library's report rows.
#include <array>
#include <string>

#include "Constants.h"
#include "LibraryMetrics.h"
#include "support/Utilities.h"

namespace {

const char* const TOTAL_AFTER_FILTERING = "Number of reads after quality filtering";

std::string count_text(unsigned long value) {
    return std::to_string(value);
}

void push_text(JsonValue& array, const std::string& text) {
    array[static_cast<int>(array.size())] = text;
}

} // namespace

JsonValue LibraryMetrics::calculateRelativeMetrics(const JsonValue& readQuality) const {
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
    push_text(readStats, count_text(totalReads));
    push_text(readStats, count_text(cellularReads));
    push_text(readStats, percentText(cellularReads, totalReads));
    push_text(readStats, count_text(uniquelyAlignedReads));
    push_text(readStats, percentText(uniquelyAlignedReads, totalReads));
    push_text(readStats, count_text(usefulReads));
    push_text(readStats, percentText(usefulReads, totalReads));

    JsonValue& mapStats = result["map_stats"] = JsonValue(JsonValue::ARRAY);
    push_text(mapStats, count_text(cellularReads));
    std::array<unsigned long, ALIGNMENT_CATEGORY_COUNT> shown = reportCategories();
    for (unsigned long count : shown) {
        push_text(mapStats, count_text(count));
        push_text(mapStats, percentText(count, cellularReads));
    }

    if (!sampleTagsVersion.empty()) {
        JsonValue& tagStats = result["tag_stats"] = JsonValue(JsonValue::ARRAY);
        bool targeted = assayType == Targeted;
        unsigned long total = sampleTagReads;
        push_text(tagStats, count_text(total));
        push_text(tagStats, count_text(usefulSampleTagReads));
        push_text(tagStats, percentText(usefulSampleTagReads, total));
        push_text(tagStats, count_text(cellularSampleTagReads));
        push_text(tagStats, percentText(cellularSampleTagReads, total));
        push_text(tagStats, targeted ? count_text(sampleTagCorrectStartReads) : "NA");
        push_text(tagStats, targeted ? percentText(sampleTagCorrectStartReads, total) : "NA");
        push_text(tagStats, targeted ? count_text(sampleTagAlignLengthReads) : "NA");
        push_text(tagStats, targeted ? percentText(sampleTagAlignLengthReads, total) : "NA");
        push_text(tagStats, count_text(usefulSampleTagReads));
    }

    if (!vdjVersion.empty()) {
        JsonValue& vdjStats = result["vdj_stats"] = JsonValue(JsonValue::ARRAY);
        unsigned long total = vdjReads;
        push_text(vdjStats, count_text(total));
        push_text(vdjStats, count_text(cellularVdjReads));
        push_text(vdjStats, percentText(cellularVdjReads, total));
        push_text(vdjStats, count_text(usefulVdjReads));
        push_text(vdjStats, percentText(usefulVdjReads, total));
        push_text(vdjStats, count_text(usefulVdjBcrReads));
        push_text(vdjStats, percentText(usefulVdjBcrReads, total));
        push_text(vdjStats, count_text(usefulVdjTcrReads));
        push_text(vdjStats, percentText(usefulVdjTcrReads, total));
    }
    return result;
}
