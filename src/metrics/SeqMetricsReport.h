// The run's sequencing-metrics report "<base>_SeqMetrics.csv" and "num_vdj_reads.json".
#pragma once

#include <string>
#include <vector>

#include "LibraryMetrics.h"

extern const char* const VDJ_COUNTS_FILE;
// The read-quality file's object of per-library entries.
extern const char* const READ_QUALITY_METRICS;

// Writes the report: the preamble, then five segments with one row per record (the last being
// the whole run, named "Combined_stats"). records and names are parallel. Throws on any failure
// and then leaves neither output behind.
void writeSeqMetrics(const std::string& runBaseName, const std::string& preamble,
                     std::vector<LibraryMetrics>& records, const std::vector<std::string>& names,
                     const std::string& readQualityPath);

// Checks that the read-quality metrics document has a complete entry for each name: whole,
// non-negative read counts no larger than the total, and the Q30 percentage. Throws naming the
// library, the key and the file.
void checkReadQualityMetrics(JsonValue& quality, const std::vector<std::string>& names,
                             const std::string& path);
