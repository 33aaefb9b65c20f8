// One library of the run: annotate parts of the input in parallel, each read where it lies; when a
// read's records are found apart, annotate it again with the multi-mapped reads grouped by name.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "RunSetup.h"

#include "annotation/AnnotationWorker.h"

class FeatureAssigner;
class LibraryMetrics;
class ReadAnnotationFiles;

// Parts of path between consecutive cuts (increasing virtual offsets where reads begin), their
// multi-mapped records sent to multiMapped when given.
std::vector<BamPart> partsBetween(const std::string& path, const std::vector<int64_t>& cuts,
                                  MultiMappedBuckets* multiMapped = nullptr);

// Annotates the library of bamPath. On success appends its metrics and name to the run's lists
// and returns true; when a worker failed, logs the failure messages and returns false (the run
// must end with status 1, the temporary directory left in place). External-command and file-system
// failures throw.
[[nodiscard]] bool annotateLibrary(const std::string& bamPath, const RunParameters& params,
                                   ReadAnnotationFiles& files,
                                   const std::unordered_set<std::string>& extraReferenceNames,
                                   FeatureAssigner& featureAssigner,
                                   std::vector<LibraryMetrics>& metricsList,
                                   std::vector<std::string>& libraryNames);
