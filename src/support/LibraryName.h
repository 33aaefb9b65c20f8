// Library (sample) names from sequencing file names, and the archive of the external programs'
// logs.
#pragma once

#include <regex>
#include <string>

extern const char* const DEFAULT_LIBRARY_NAME;

// The sample name in a file name such as "S1_L001_R1_001.fastq.gz"; "DefaultName" when none.
std::string getLibraryName(const std::string& fileName);

// Packs the files of directory whose names match pattern into archiveBaseName + ".tar.gz" (with the
// external tar) and, unless keepLogFiles, deletes them. Returns the archive name, "" when nothing
// matched. Throws std::runtime_error when tar fails hard (exit status above 1).
std::string compressLogFiles(const std::string& directory, const std::string& archiveBaseName,
                             const std::regex& pattern, bool keepLogFiles);
