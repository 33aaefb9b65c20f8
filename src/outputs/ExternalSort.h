// The external sort (coreutils sort) for a table too large to sort in memory.
#pragma once

#include <string>
#include <vector>

// Sorts inputFile into outputFile (which may be the same) with the external sort, in byte order
// (LC_ALL=C), by the given --key options, its temporary files in tempFolder; throws when sort
// fails.
void sortTxtFile(const std::string& outputFile, std::string inputFile, unsigned long threads,
                 const std::string& separator, const std::string& bufferSize,
                 const std::vector<std::string>& keys, const std::string& tempFolder);
