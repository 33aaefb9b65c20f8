// One annotation worker: reads its part of a library's BAM in chunks of whole reads, assigns
// features, annotates, strips read names and writes the annotated BAM and the VDJ FASTQ blocks.
#pragma once

#include <atomic>
#include <string>
#include <unordered_set>

#include <htslib/bgzf.h>
#include <htslib/sam.h>

#include "BamRecord.h"
#include "support/Utilities.h"

class FeatureAssigner;
struct FeatureCounts;
class LibraryMetrics;
class ReadAnnotationFiles;

// Records written by the workers of one library; a line is logged at each multiple of interval.
struct ProgressCounter {
    explicit ProgressCounter(unsigned long interval = 10000000) : interval(interval) {}
    std::atomic<unsigned long> count{0};
    unsigned long interval;
};

// Minimum size of a worker's FASTQ text before it is compressed into the run's file.
constexpr size_t FASTQ_BLOCK_SIZE = 65536;

// One worker's share of a library's BAM: the reads whose first record has an index in the file in
// [first, end), found by reading on from a read boundary that the record count noted (anchorOffset,
// a BGZF virtual offset, is where record anchorRecord starts). With skipMultiMapped, the records of
// reads with more than one alignment are passed over: in an input whose reads are not together,
// other parts annotate them from a copy grouped by read.
struct BamPart {
    std::string path;
    int64_t anchorOffset = -1; // -1: the first record, after the header
    unsigned long anchorRecord = 0;
    unsigned long first = 0;
    unsigned long end = ~0UL;
    bool skipMultiMapped = false;
};

void annotationMetricsAndCounting(const AssayType& assay, const std::string& outputBamPath,
                                  const BamPart& part,
                                  const std::unordered_set<std::string>& extraReferenceNames,
                                  LibraryMetrics& metrics, ReadAnnotationFiles& files,
                                  ProgressCounter& progress, FeatureCounts& featureCounts,
                                  FeatureAssigner& featureAssigner, bool excludeIntronicReads,
                                  bool vdjCellCalling);

// Where a worker is in its part: next is the index in the file of the record it reads next.
struct PartReader {
    htsFile* input;
    sam_hdr_t* header;
    const char* path;
    unsigned long next;
    unsigned long end;
    bool skipMultiMapped;
};

// Reads the next read of the part into group (when given): a record and the NH - 1 records after
// it, or with skipMultiMapped the next record whose NH is at most 1. Returns 0, -1 when the part or
// the input has ended, below -1 on a read error.
int readGroup(PartReader& reader, bam1_t* record, RecordGroup* group);

// Appends whole read groups to chunk; an empty group marks the end of the part. Returns false when
// the part ended or the input failed (the failure recorded, naming the file).
bool readAlignedReadsChunk(RecordChunk& chunk, PartReader& reader);

// Writes every record of the chunk in order and advances the progress count.
void writeAnnotatedBamRecords(RecordChunk& chunk, htsFile* output, sam_hdr_t* header,
                              ProgressCounter& progress);
