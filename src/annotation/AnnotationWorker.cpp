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

void ProgressCounter::noteReadApart(const char* name) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!apart.load())
        readApart = name;
    apart.store(true);
}

namespace {

bam1_t* __spare_record(PartReader& reader) {
    if (reader.spare.empty())
        return bam_init1();
    bam1_t* record = reader.spare.back();
    reader.spare.pop_back();
    return record;
}

// Reads the next record into a spare one; null (the spare kept) at the end or on an error.
bam1_t* __read_record(PartReader& reader, int& result) {
    bam1_t* record = __spare_record(reader);
    if ((result = sam_read1(reader.input, reader.header, record)) >= 0)
        return record;
    reader.spare.push_back(record);
    return nullptr;
}

} // namespace

int readGroup(PartReader& reader, RecordGroup& group) {
    int result = -1;
    int64_t offset;
    while ((offset = bgzf_tell(reader.input->fp.bgzf)) < reader.end) {
        bam1_t* record = __read_record(reader, result);
        if (!record)
            return result;
        long nh = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 1);
        if (reader.multiMapped && nh > 1) {
            reader.spare.push_back(record);
            if (!reader.multiMapped->add(record, offset))
                return -1;
            continue;
        }
        group.push_back(record);
        // The records of one read stay together, even past the end of the part. Parts are cut
        // where a read begins, so a read whose records are not together here is apart in the
        // input.
        for (long k = 1; k < nh && !reader.multiMapped; ++k) {
            if (!(record = __read_record(reader, result)) && result < -1)
                return result;
            if (!record || std::strcmp(bam_get_qname(record), bam_get_qname(group.front())) != 0) {
                reader.readApart = bam_get_qname(group.front());
                if (record)
                    reader.spare.push_back(record);
                return -1;
            }
            group.push_back(record);
        }
        return 0;
    }
    return -1;
}

void recycleRecords(RecordChunk& chunk, PartReader& reader) {
    for (RecordGroup& group : chunk)
        reader.spare.insert(reader.spare.end(), group.begin(), group.end());
    chunk.clear();
}

bool readAlignedReadsChunk(RecordChunk& chunk, PartReader& reader) {
    waitForSemaphore(gReadSemaphore);
    long budget = CHUNK_BUDGET;
    int result = 0;
    while (budget > 0) {
        RecordGroup group;
        result = readGroup(reader, group);
        if (!group.empty())
            chunk.push_back(std::move(group));
        if (result < 0)
            break;
        budget -= static_cast<long>(chunk.size());
    }
    if (result < 0) {
        chunk.emplace_back(); // end of the part
        if (result < -1)
            TERMINATE_STATE.fail(
                std::string("Unexpected error in input BAM file. Cannot read the BAM "
                            "file \"") +
                reader.path + "\": it is truncated or corrupt");
    }
    postSemaphore(gReadSemaphore);
    return result >= 0;
}

void writeAnnotatedBamRecords(RecordChunk& chunk, BamWriter& output, ProgressCounter& progress) {
    waitForSemaphore(gWriteSemaphore);
    unsigned long written = 0;
    for (RecordGroup& group : chunk) {
        for (bam1_t* record : group) {
            if (!output.write(record))
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

// A worker's input BAM, its annotated BAM, and the input's header.
struct WorkerBams {
    htsFile* input = nullptr;
    BamWriter output;
    sam_hdr_t* header = nullptr;
};

// Opens both BAMs, copies the header and goes to the part's start; false (failure recorded) when
// the worker cannot start.
bool __open_worker_bams(WorkerBams& bams, const std::string& outputBamPath, const BamPart& part) {
    const std::string& inputBamPath = part.path;
    if (!(bams.input = hts_open(inputBamPath.c_str(), "rb"))) {
        __fail("Failed to open input BAM file: ", inputBamPath);
        return false;
    }
    if (!(bams.header = sam_hdr_read(bams.input))) {
        __fail("Failed to read the BAM header of input file: ", inputBamPath, false);
        return false;
    }
    // These per-part BAMs are read again by the pipeline's next steps, like an aligner's or
    // samtools' temporary files: they are deflated fast (see BamWriter), not at gzip's level 6,
    // which would spend most of the run compressing.
    if (!bams.output.open(outputBamPath, bams.header)) {
        __fail("Failed to write BAM header to output file: ", outputBamPath);
        return false;
    }
    if (part.start >= 0 && bgzf_seek(bams.input->fp.bgzf, part.start, SEEK_SET) < 0) {
        __fail("Failed to seek in input BAM file: ", inputBamPath);
        return false;
    }
    return true;
}

void __close_worker_bams(WorkerBams& bams, const std::string& outputBamPath) {
    if (bams.input)
        hts_close(bams.input); // a read error has been reported already
    if (!bams.output.close())
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
    PartReader reader{bams.input,       bams.header,   part.path.c_str(), part.end,
                      part.multiMapped, std::string(), RecordGroup()};
    // This worker's counts, added to the library's once at the end.
    LibraryMetrics counts = metrics.emptyCopy();
    std::string tcrFastqBuffer, bcrFastqBuffer;
    tcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    bcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    RecordChunk chunk;
    std::vector<bam1_t*> chunkRecords;
    FeatureAssigner::HeaderIndex headerIndex = featureAssigner.indexHeader(bams.header);
    bool more = true;
    while (more && !TERMINATE_STATE.failed() && !progress.apart.load()) {
        // Read whole reads; give every record its feature; annotate each read; write.
        more = readAlignedReadsChunk(chunk, reader);
        if (!reader.readApart.empty()) {
            progress.noteReadApart(reader.readApart.c_str());
            break;
        }
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
        writeAnnotatedBamRecords(chunk, bams.output, progress);
        recycleRecords(chunk, reader);
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
    chunk.push_back(std::move(reader.spare));
    freeVectorBamRecords(chunk);
}
