#include "AnnotationWorker.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "Constants.h"
#include "ReadAnnotation.h"
#include "ReadIdentity.h"
#include "Semaphore.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"
#include "support/Logger.h"

namespace {

// Chunk budget: each appended group costs the number of groups then in the chunk, so a chunk
// that starts empty holds 447 groups.
constexpr long CHUNK_BUDGET = 100000;

} // namespace

int readGroup(PartReader& reader, bam1_t* record, RecordGroup* group) {
    while (reader.next < reader.end) {
        int result = sam_read1(reader.input, reader.header, record);
        if (result < 0)
            return result;
        ++reader.next;
        long nh = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 1);
        if (reader.skipMultiMapped && nh > 1)
            continue;
        if (group)
            group->push_back(bam_dup1(record));
        // The records of one read stay together, even past the end of the part.
        for (long k = 1; k < nh && !reader.skipMultiMapped; ++k) {
            if ((result = sam_read1(reader.input, reader.header, record)) < 0)
                return result < -1 ? result : 0; // a read cut short by the end of the input
            ++reader.next;
            if (group)
                group->push_back(bam_dup1(record));
        }
        return 0;
    }
    return -1;
}

bool readAlignedReadsChunk(RecordChunk& chunk, PartReader& reader) {
    waitForSemaphore(gReadSemaphore);
    bam1_t* record = bam_init1();
    long budget = CHUNK_BUDGET;
    int result = 0;
    while (budget > 0) {
        RecordGroup group;
        result = readGroup(reader, record, &group);
        if (!group.empty())
            chunk.push_back(std::move(group));
        if (result < 0)
            break;
        budget -= static_cast<long>(chunk.size());
    }
    if (result < 0) {
        chunk.emplace_back(); // end of the part
        if (result < -1)
            TERMINATE_STATE.fail(std::string("Unexpected error in input BAM file: ") + reader.path);
    }
    bam_destroy1(record);
    postSemaphore(gReadSemaphore);
    return result >= 0;
}

void writeAnnotatedBamRecords(RecordChunk& chunk, htsFile* output, sam_hdr_t* header,
                              ProgressCounter& progress) {
    waitForSemaphore(gWriteSemaphore);
    unsigned long written = 0;
    for (RecordGroup& group : chunk) {
        for (bam1_t* record : group) {
            if (sam_write1(output, header, record) < 0)
                TERMINATE_STATE.fail(
                    std::string("Failed to write BAM record to file. errno desc: ") +
                    std::strerror(errno));
            ++written;
        }
    }
    postSemaphore(gWriteSemaphore);
    unsigned long before = progress.count.fetch_add(written);
    unsigned long after = before + written;
    if (progress.interval && before / progress.interval != after / progress.interval)
        gLogger.info("    Processed and wrote %'lu total annotated bam records to disk", after);
}

namespace {

const char* const WORKER = "annotationMetricsAndCounting: ";

// Records a worker failure that names its file and, where a system call failed, the reason.
void __fail(const std::string& what, const std::string& path, bool withErrno = true) {
    TERMINATE_STATE.fail(WORKER + what + path +
                         (withErrno ? std::string(". errno desc: ") + std::strerror(errno) : ""));
}

// A worker's fragment BAM, its annotated BAM, and the fragment's header.
struct WorkerBams {
    htsFile* input = nullptr;
    htsFile* output = nullptr;
    sam_hdr_t* header = nullptr;
};

// Opens both BAMs, copies the header and goes to the part's anchor; false (failure recorded) when
// the worker cannot start.
bool __open_worker_bams(WorkerBams& bams, const std::string& outputBamPath, const BamPart& part) {
    const std::string& inputBamPath = part.path;
    // Level 1: these per-fragment BAMs are read again by the pipeline's next steps, like an
    // aligner's or samtools' temporary files; level 6 would spend most of the run compressing.
    if (!(bams.output = hts_open(outputBamPath.c_str(), "wb1"))) {
        __fail("Failed to open output BAM file: ", outputBamPath);
        return false;
    }
    if (!(bams.input = hts_open(inputBamPath.c_str(), "rb"))) {
        __fail("Failed to open input BAM file: ", inputBamPath);
        return false;
    }
    if (!(bams.header = sam_hdr_read(bams.input))) {
        __fail("Failed to read the BAM header of input file: ", inputBamPath, false);
        return false;
    }
    if (sam_hdr_write(bams.output, bams.header) < 0) {
        __fail("Failed to write BAM header to output file: ", outputBamPath);
        return false;
    }
    if (part.anchorOffset >= 0 && bgzf_seek(bams.input->fp.bgzf, part.anchorOffset, SEEK_SET) < 0) {
        __fail("Failed to seek in input BAM file: ", inputBamPath);
        return false;
    }
    return true;
}

void __close_worker_bams(WorkerBams& bams, const std::string& outputBamPath) {
    if (bams.input)
        hts_close(bams.input); // a read error has been reported already
    if (bams.output && hts_close(bams.output) < 0)
        __fail("Failed to close output BAM file: ", outputBamPath);
    if (bams.header)
        sam_hdr_destroy(bams.header);
}

} // namespace

void annotationMetricsAndCounting(const AssayType& assay, const std::string& outputBamPath,
                                  const BamPart& part,
                                  const std::unordered_set<std::string>& extraReferenceNames,
                                  LibraryMetrics& metrics, ReadAnnotationFiles& files,
                                  ProgressCounter& progress, FeatureCounts& featureCounts,
                                  FeatureAssigner& featureAssigner, bool excludeIntronicReads,
                                  bool vdjCellCalling) {
    gLogger.debug("    Entering annotationMetricsAndCounting");
    WorkerBams bams;
    if (!__open_worker_bams(bams, outputBamPath, part)) {
        __close_worker_bams(bams, outputBamPath);
        return;
    }
    // From the anchor, pass over the reads before the part's first.
    PartReader reader{bams.input,        bams.header, part.path.c_str(),
                      part.anchorRecord, part.end,    part.skipMultiMapped};
    bam1_t* passed = bam_init1();
    int result = 0;
    while (reader.next < part.first && (result = readGroup(reader, passed, nullptr)) == 0) {
    }
    bam_destroy1(passed);
    if (result < -1)
        __fail("Unexpected error in input BAM file: ", part.path, false);
    // This worker's counts, added to the library's once at the end.
    LibraryMetrics counts = metrics.emptyCopy();
    std::string tcrFastqBuffer, bcrFastqBuffer;
    tcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    bcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    RecordChunk chunk;
    std::vector<bam1_t*> chunkRecords;
    FeatureAssigner::HeaderIndex headerIndex = featureAssigner.indexHeader(bams.header);
    bool more = result >= 0;
    while (more && !TERMINATE_STATE.failed()) {
        // Read whole reads; give every record its feature; annotate each read; write.
        more = readAlignedReadsChunk(chunk, reader);
        chunkRecords.clear();
        for (RecordGroup& group : chunk)
            chunkRecords.insert(chunkRecords.end(), group.begin(), group.end());
        featureAssigner.assignFeatures(featureCounts, chunkRecords.data(), chunkRecords.size(),
                                       headerIndex);
        for (RecordGroup& group : chunk)
            annotateR2(assay, bams.header, group, extraReferenceNames, counts, files,
                       tcrFastqBuffer, bcrFastqBuffer, excludeIntronicReads, vdjCellCalling);
        for (bam1_t* record : chunkRecords)
            if (!stripCellAndUMIFromQName(record))
                __fail("Failed to set the read name of a record", "", false);
        writeAnnotatedBamRecords(chunk, bams.output, bams.header, progress);
        freeVectorBamRecords(chunk);
        if (tcrFastqBuffer.size() >= FASTQ_BLOCK_SIZE)
            files.flushFastq(tcrFastqBuffer, files.tcr);
        if (bcrFastqBuffer.size() >= FASTQ_BLOCK_SIZE)
            files.flushFastq(bcrFastqBuffer, files.bcr);
    }
    metrics.addConcurrently(counts);
    if (!tcrFastqBuffer.empty())
        files.flushFastq(tcrFastqBuffer, files.tcr);
    if (!bcrFastqBuffer.empty())
        files.flushFastq(bcrFastqBuffer, files.bcr);
    __close_worker_bams(bams, outputBamPath);
    freeVectorBamRecords(chunk);
}
