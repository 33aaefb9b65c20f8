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

// A count and its share of total, as two texts.
void push_share(JsonValue& array, unsigned long count, unsigned long total) {
    push_text(array, count_text(count));
    push_text(array, percentText(count, total));
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
    for (unsigned long count : {cellularReads, uniquelyAlignedReads, usefulReads})
        push_share(readStats, count, totalReads);

    JsonValue& mapStats = result["map_stats"] = JsonValue(JsonValue::ARRAY);
    push_text(mapStats, count_text(cellularReads));
    for (unsigned long count : reportCategories())
        push_share(mapStats, count, cellularReads);

    if (!sampleTagsVersion.empty()) {
        JsonValue& tagStats = result["tag_stats"] = JsonValue(JsonValue::ARRAY);
        unsigned long total = sampleTagReads;
        push_text(tagStats, count_text(total));
        push_share(tagStats, usefulSampleTagReads, total);
        push_share(tagStats, cellularSampleTagReads, total);
        // The start and length filters apply to Targeted runs only.
        for (unsigned long count : {sampleTagCorrectStartReads, sampleTagAlignLengthReads}) {
            if (assayType == Targeted) {
                push_share(tagStats, count, total);
            } else {
                push_text(tagStats, "NA");
                push_text(tagStats, "NA");
            }
        }
        push_text(tagStats, count_text(usefulSampleTagReads));
    }

    if (!vdjVersion.empty()) {
        JsonValue& vdjStats = result["vdj_stats"] = JsonValue(JsonValue::ARRAY);
        push_text(vdjStats, count_text(vdjReads));
        for (unsigned long count :
             {cellularVdjReads, usefulVdjReads, usefulVdjBcrReads, usefulVdjTcrReads})
            push_share(vdjStats, count, vdjReads);
    }
    return result;
}
