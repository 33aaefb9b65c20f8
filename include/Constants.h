// Constant tables and strings shared across the subsystems.
#pragma once

#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

// Feature strings written to the XF tag.
extern const char* const STRING_NOT_ALIGNED;
extern const char* const STRING_NO_FEATURE;
extern const char* const STRING_INTERGENIC;
extern const char* const STRING_AMBIGUOUS;
// Reference that STAR pads with; alignments to it count as not aligned.
extern const char* const STRING_STAR_PADDING_REFERENCE;

// BAM tags.
extern const char* const TAG_FEATURE;         // "XF"
extern const char* const TAG_CL_NAME;         // "CB"
extern const char* const TAG_UMI_NAME;        // "MR"
extern const char* const TAG_TRANSCRIPT_NAME; // "TR"
extern const char* const TAG_FRAGMENT_LENGTH; // "TF"

// Constant-region genes of the immune receptors, as named in the species' annotations.
extern const std::unordered_set<std::string> SET_STRING_HUMAN_C_GENES;
extern const std::unordered_set<std::string> SET_STRING_MOUSE_C_GENES;

// Reference name prefixes of the spike-ins.
extern const char* const STRING_PHIX174;
extern const char* const STRING_ERCC_PREFIX;
// Integer tag holding the number of alignments of a read.
extern const char* const TAG_NUMBER_ALIGNMENTS;

// The 15 alignment categories of a library, in report order.
extern const std::vector<std::string> WTA_ALIGNMENT_TYPES;

// The sequencing-metrics report: segment header -> (metric array key, column names), and the
// order in which the segments are written.
extern const std::map<std::string, std::pair<std::string, std::vector<std::string>>>
    METRICS_SEGMENT_COLUMN_HEADER_MAP;
extern const std::vector<std::string> METRICS_SEGMENT_ORDERING;
