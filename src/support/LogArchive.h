// The archive of the external programs' logs that ends every run.
#pragma once

#include <regex>
#include <string>

// Packs the files of directory whose names match pattern into archiveBaseName + ".tar.gz" (with the
// external tar) and, unless keepLogFiles, deletes them. Returns the archive name, "" when nothing
// matched. Throws std::runtime_error when tar fails hard (exit status above 1).
std::string compressLogFiles(const std::string& directory, const std::string& archiveBaseName,
                             const std::regex& pattern, bool keepLogFiles);
