// Library (sample) names from sequencing file names.
#pragma once

#include <string>

extern const char* const DEFAULT_LIBRARY_NAME;

// The sample name in a file name such as "S1_L001_R1_001.fastq.gz"; "DefaultName" when none.
std::string getLibraryName(const std::string& fileName);
