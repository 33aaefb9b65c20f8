// One annotation worker: reads a fragment BAM in chunks of whole reads, assigns features,
// annotates, strips read names and writes the annotated BAM and the VDJ FASTQ blocks.
#pragma once

#include <atomic>
#include <string>
#include <unordered_set>

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

// With skipMultiMapped, the records of reads with more than one alignment are passed over: in an
// input whose reads are not together, another worker annotates them from a copy grouped by read.
void annotationMetricsAndCounting(const AssayType& assay, const std::string& outputBamPath,
                                  const std::string& inputBamPath,
                                  const std::unordered_set<std::string>& extraReferenceNames,
                                  LibraryMetrics& metrics, ReadAnnotationFiles& files,
                                  ProgressCounter& progress, FeatureCounts& featureCounts,
                                  FeatureAssigner& featureAssigner, bool excludeIntronicReads,
                                  bool vdjCellCalling, bool skipMultiMapped = false);

// Appends whole read groups (a record and the NH - 1 records after it) to chunk; an empty group
// marks the end of the input. Returns false when the input ended or failed. With skipMultiMapped,
// records whose NH is above 1 are passed over.
bool readAlignedReadsChunk(RecordChunk& chunk, htsFile* input, sam_hdr_t* header,
                           bool skipMultiMapped = false);

// Writes every record of the chunk in order and advances the progress count.
void writeAnnotatedBamRecords(RecordChunk& chunk, htsFile* output, sam_hdr_t* header,
                              ProgressCounter& progress);
