#include "AnnotationWorker.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "Constants.h"
#include "ReadAnnotation.h"
#include "ReadIdentity.h"
#include "Semaphore.h"
#include "support/EarlyTerminate.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/Logger.h"

namespace {

// Chunk budget: each appended group costs the number of groups then in the chunk, so a chunk
// that starts empty holds 447 groups.
constexpr long CHUNK_BUDGET = 100000;

void __flush_fastq(std::string& buffer, ReadAnnotationFiles& files, const std::string& name,
                   std::ofstream& stream, std::mutex& mutex, std::atomic<unsigned long>& blocks) {
    files.mCompressAndWriteBufferToGzFile(buffer, name, stream, mutex);
    ++blocks;
    buffer.clear();
}

} // namespace

bool readAlignedReadsChunk(RecordChunk& chunk, htsFile* input, sam_hdr_t* header) {
    waitForSemaphore(gReadSemaphore);
    bam1_t* record = bam_init1();
    long budget = CHUNK_BUDGET;
    bool more = true;
    int result = 0;
    while (budget > 0) {
        RecordGroup group;
        result = sam_read1(input, header, record);
        if (result < 0)
            break;
        group.push_back(bam_dup1(record));
        long nh = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 1);
        while (static_cast<long>(group.size()) < nh) {
            result = sam_read1(input, header, record);
            if (result < 0)
                break;
            group.push_back(bam_dup1(record));
        }
        chunk.push_back(std::move(group));
        if (result < 0)
            break;
        budget -= static_cast<long>(chunk.size());
    }
    if (result < 0) {
        chunk.emplace_back(); // end of input
        more = false;
        if (result < -1)
            TERMINATE_STATE.fail("Unexpected error in input BAM file.");
    }
    bam_destroy1(record);
    postSemaphore(gReadSemaphore);
    return more;
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

void annotationMetricsAndCounting(const AssayType& assay, const std::string& outputBamPath,
                                  const std::string& inputBamPath,
                                  const std::unordered_set<std::string>& extraReferenceNames,
                                  LibraryMetrics& metrics, ReadAnnotationFiles& files,
                                  ProgressCounter& progress, FeatureCounts& featureCounts,
                                  FeatureAssigner& featureAssigner, bool excludeIntronicReads,
                                  bool vdjCellCalling) {
    const std::string origin = "annotationMetricsAndCounting: ";
    gLogger.debug("    Entering annotationMetricsAndCounting");
    htsFile* output = hts_open(outputBamPath.c_str(), "wb");
    if (!output) {
        TERMINATE_STATE.fail(origin + "Failed to open output BAM file: " + outputBamPath +
                             ". errno desc: " + std::strerror(errno));
        return;
    }
    htsFile* input = hts_open(inputBamPath.c_str(), "rb");
    if (!input) {
        TERMINATE_STATE.fail(origin + "Failed to open input BAM file: " + inputBamPath +
                             ". errno desc: " + std::strerror(errno));
        hts_close(output);
        return;
    }
    sam_hdr_t* header = sam_hdr_read(input);
    if (!header) {
        TERMINATE_STATE.fail(origin +
                             "Failed to read the BAM header of input file: " + inputBamPath);
        hts_close(input);
        hts_close(output);
        return;
    }
    bool more = true;
    if (sam_hdr_write(output, header) < 0) {
        TERMINATE_STATE.fail(origin + "Failed to write BAM header to output file: " +
                             outputBamPath + ". errno desc: " + std::strerror(errno));
        more = false;
    }

    // This worker's counts, added to the library's once at the end.
    LibraryMetrics counts = metrics.emptyCopy();
    std::string tcrFastqBuffer, bcrFastqBuffer;
    tcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    bcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    RecordChunk chunk;
    std::vector<bam1_t*> chunkRecords;
    FeatureAssigner::HeaderIndex headerIndex = featureAssigner.indexHeader(header);
    while (more && !TERMINATE_STATE.failed()) {
        more = readAlignedReadsChunk(chunk, input, header);
        chunkRecords.clear();
        for (RecordGroup& group : chunk)
            chunkRecords.insert(chunkRecords.end(), group.begin(), group.end());
        featureAssigner.assignFeatures(featureCounts, chunkRecords.data(), chunkRecords.size(),
                                       headerIndex);
        for (RecordGroup& group : chunk)
            annotateR2(assay, header, group, extraReferenceNames, counts, files, tcrFastqBuffer,
                       bcrFastqBuffer, excludeIntronicReads, vdjCellCalling);
        for (RecordGroup& group : chunk)
            for (bam1_t* record : group)
                if (!stripCellAndUMIFromQName(record))
                    TERMINATE_STATE.fail(origin + "Failed to set the read name of a record");
        writeAnnotatedBamRecords(chunk, output, header, progress);
        freeVectorBamRecords(chunk);
        if (tcrFastqBuffer.size() >= FASTQ_BLOCK_SIZE)
            __flush_fastq(tcrFastqBuffer, files, files.tcrFileName, files.tcrStream, files.tcrMutex,
                          files.tcrBlockCount);
        if (bcrFastqBuffer.size() >= FASTQ_BLOCK_SIZE)
            __flush_fastq(bcrFastqBuffer, files, files.bcrFileName, files.bcrStream, files.bcrMutex,
                          files.bcrBlockCount);
    }
    metrics.addConcurrently(counts);
    if (!tcrFastqBuffer.empty())
        __flush_fastq(tcrFastqBuffer, files, files.tcrFileName, files.tcrStream, files.tcrMutex,
                      files.tcrBlockCount);
    if (!bcrFastqBuffer.empty())
        __flush_fastq(bcrFastqBuffer, files, files.bcrFileName, files.bcrStream, files.bcrMutex,
                      files.bcrBlockCount);

    hts_close(input); // a read error has been reported already
    if (hts_close(output) < 0)
        TERMINATE_STATE.fail(origin + "Failed to close output BAM file: " + outputBamPath +
                             ". errno desc: " + std::strerror(errno));
    sam_hdr_destroy(header);
    freeVectorBamRecords(chunk);
}
