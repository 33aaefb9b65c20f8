// One library of the run: count (grouping the reads by name first when their records are apart),
// split into fragments, annotate the fragments in parallel.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "RunSetup.h"

class FeatureAssigner;
class LibraryMetrics;
class ReadAnnotationFiles;

// Records per fragment: N divided by T, rounded up.
unsigned long recordsPerFragment(unsigned long records, unsigned long threads);
// The bamSplitter to run: the one installed beside this executable, else the one on PATH.
std::string bamSplitterProgram();

// Annotates the library of bamPath. On success appends its metrics and name to the run's lists
// and returns true; when a worker failed, logs the failure messages and returns false (the run
// must end with status 1, the temporary directory left in place). External-command and file-system
// failures throw.
bool annotateLibrary(const std::string& bamPath, const RunParameters& params,
                     ReadAnnotationFiles& files,
                     const std::unordered_set<std::string>& extraReferenceNames,
                     FeatureAssigner& featureAssigner, std::vector<LibraryMetrics>& metricsList,
                     std::vector<std::string>& libraryNames);
