// The run's quality numbers as MultiQC custom content, beside the sequencing-metrics report.
#pragma once

#include <string>
#include <vector>

#include "LibraryMetrics.h"

// The three files carry this suffix until the run completes and puts them in place without it.
extern const char* const MULTIQC_STAGED_SUFFIX;

// Writes <base>_ambrel_mqc.json (general statistics), <base>_ambrel_alignment_mqc.json (the
// alignment categories, stacked) and <base>_ambrel_filtering_mqc.json (reads kept and removed by
// the read filters), one MultiQC section each under one "Ambrel" heading, with the libraries as
// samples named <base>_<library>; the run-wide record is left out. records and names are those of
// the report, after its relative metrics; qualityEntries holds each library's read-quality entry.
// Throws std::system_error naming a file that cannot be written.
void writeMultiqcReport(const std::string& runBaseName, std::vector<LibraryMetrics>& records,
                        const std::vector<std::string>& names, JsonValue& qualityEntries);
