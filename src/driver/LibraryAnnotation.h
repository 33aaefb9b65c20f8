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

// What a pass over a library's BAM finds.
struct LibraryScan {
    unsigned long records = 0;
    // Whether every read's records stand together (a record and the NH - 1 records after it
    // share its name), as the workers read them; else the first read found apart.
    bool grouped = true;
    std::string readApart;
    // Read boundaries about anchorSpacing records apart: (record index, BGZF virtual offset).
    std::vector<std::pair<unsigned long, int64_t>> anchors;
};

// How far apart the record count notes read boundaries: a worker decodes at most about this many
// records before the first of its part.
constexpr unsigned long ANCHOR_SPACING = 16384;

// Reads the BAM once with `threads` decoding threads and notes read boundaries. With
// multiMappedPath, copies every record whose NH is above 1 there (uncompressed: it is sorted right
// after), and every other record is a read of its own. Throws naming the file when it cannot be
// read to its end.
LibraryScan scanLibraryBam(const std::string& bamPath, unsigned long threads,
                           const std::string& multiMappedPath = "",
                           unsigned long anchorSpacing = ANCHOR_SPACING);

// Up to `count` parts of about equal numbers of records: part k from the first noted read
// boundary at or after k * L records to the next part's (L = records / count, rounded up); none
// for a BAM without records.
std::vector<BamPart> libraryParts(const std::string& path, const LibraryScan& scan,
                                  unsigned long count, bool skipMultiMapped);

// Records per part: N divided by T, rounded up.
unsigned long recordsPerPart(unsigned long records, unsigned long threads);

// Annotates the library of bamPath. On success appends its metrics and name to the run's lists
// and returns true; when a worker failed, logs the failure messages and returns false (the run
// must end with status 1, the temporary directory left in place). External-command and file-system
// failures throw.
bool annotateLibrary(const std::string& bamPath, const RunParameters& params,
                     ReadAnnotationFiles& files,
                     const std::unordered_set<std::string>& extraReferenceNames,
                     FeatureAssigner& featureAssigner, std::vector<LibraryMetrics>& metricsList,
                     std::vector<std::string>& libraryNames);
