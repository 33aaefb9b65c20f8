// One annotation worker: reads its part of a library's BAM in chunks of whole reads, assigns
// features, annotates, strips read names and writes the annotated BAM and the VDJ FASTQ blocks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/sam.h>

#include "BamRecord.h"
#include "MultiMappedBuckets.h"
#include "ReadAnnotation.h"
#include "outputs/BamWriter.h"
#include "support/Utilities.h"

class FeatureAssigner;
struct FeatureCounts;
class EarlyTerminate;
class LibraryMetrics;
class ReadAnnotationFiles;

// What the workers of one library share: the records written (a line is logged at each multiple
// of interval), the reads of each shape, and the first read whose records they found apart. A
// library with a read apart is annotated again from its multi-mapped records grouped by read.
struct ProgressCounter {
    explicit ProgressCounter(unsigned long interval = 10000000) : interval(interval) {}
    // Notes the read (the first one noted stays) and stops the library's workers.
    void noteReadApart(const char* name);
    std::atomic<unsigned long> count{0};
    unsigned long interval;
    // Compressed bytes of the input read so far (BAM inputs), for the progress line.
    std::atomic<uint64_t> compressedRead{0};
    // Reads by ReadShape, for the library's warnings.
    std::array<std::atomic<unsigned long>, READ_SHAPES> shapes{};
    std::atomic<bool> apart{false};
    std::mutex mutex; // guards readApart
    std::string readApart;
};

// Minimum size of a worker's FASTQ text before it is compressed into the run's file.
constexpr size_t FASTQ_BLOCK_SIZE = 65536;

// The end of a BAM as a part's end.
constexpr int64_t END_OF_BAM = INT64_MAX;

// One worker's share of a library's BAM: the reads whose first record starts at a BGZF virtual
// offset in [start, end); start and end are where reads begin. With multiMapped, the records of
// reads that may have records elsewhere go there instead of being annotated. A part of a copy
// grouped by read name has every read's records together: a read found without its primary
// record is annotated from what it has, not taken for a read apart.
struct BamPart {
    std::string path;
    int64_t start = -1; // -1: the first record, after the header
    int64_t end = END_OF_BAM;
    MultiMappedBuckets* multiMapped = nullptr;
    bool groupedByName = false;
    std::string commandLine; // the run's, for the annotated BAM's @PG line
};

void annotationMetricsAndCounting(const AssayType& assay, const std::string& outputBamPath,
                                  const BamPart& part,
                                  const std::unordered_set<std::string>& extraReferenceNames,
                                  LibraryMetrics& metrics, ReadAnnotationFiles& files,
                                  ProgressCounter& progress, FeatureCounts& featureCounts,
                                  FeatureAssigner& featureAssigner, bool excludeIntronicReads,
                                  bool vdjCellCalling);

// A worker's reading of its part; readApart is set when a read's records were found apart.
// Records are read into the spare ones of earlier chunks rather than allocated, copied and freed
// one by one.
struct PartReader {
    PartReader(htsFile* input, sam_hdr_t* header, const BamPart& part, EarlyTerminate& failures);
    htsFile* input;
    sam_hdr_t* header;
    const char* path;
    int64_t end;
    MultiMappedBuckets* multiMapped;
    bool groupedByName;
    std::string readApart;
    RecordGroup spare;
    bam1_t* next = nullptr; // the first record of the next read, read ahead
    int64_t nextOffset = 0;
    std::vector<int64_t> offsets; // of the records of the read being read
    int64_t records = 0;          // read so far: the place of a CRAM record, which has no offset
    EarlyTerminate& failures;     // the run's: a damaged input or a bad cut fails it
};

// Reads the next read of the part into group: the records in a row that share the name of a
// record that begins before the part's end (even past it). With multiMapped, a read any of whose
// records may have records elsewhere goes there instead, and the next one is read. Returns 0; -1
// when the part or the input has ended, or when the read has no primary record in an input not
// grouped by name (its records are apart: readApart then names it); below -1 on a read error.
[[nodiscard]] int readGroup(PartReader& reader, RecordGroup& group);

// Hands the chunk's records back to the reader as spares and empties the chunk.
void recycleRecords(RecordChunk& chunk, PartReader& reader);

// Frees the chunk's records and the reader's spare and read-ahead ones.
void freeRecords(RecordChunk& chunk, PartReader& reader);

// Appends whole read groups to chunk; an empty group marks the end of the part. Returns false when
// the part ended or the input failed (the failure recorded, naming the file).
[[nodiscard]] bool readAlignedReadsChunk(RecordChunk& chunk, PartReader& reader);

// Writes every record of the chunk in order and advances the progress count.
void writeAnnotatedBamRecords(RecordChunk& chunk, BamWriter& output, ProgressCounter& progress,
                              EarlyTerminate& failures);
