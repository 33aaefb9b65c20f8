#include "AnnotationWorker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
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
#include "support/SystemError.h"

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

PartReader::PartReader(htsFile* input, sam_hdr_t* header, const BamPart& part,
                       EarlyTerminate& failures)
    : input(input), header(header), path(part.path.c_str()), end(part.end),
      multiMapped(part.multiMapped), groupedByName(part.groupedByName), failures(failures) {}

namespace {

bam1_t* spareRecord(PartReader& reader) {
    if (reader.spare.empty()) {
        bam1_t* record = bam_init1();
        if (!record)
            throw std::bad_alloc(); // the worker's runner makes it the run's failure
        return record;
    }
    bam1_t* record = reader.spare.back();
    reader.spare.pop_back();
    return record;
}

// Where the next record begins: its BGZF virtual offset, or for a CRAM its place in the file.
int64_t nextRecordOffset(const PartReader& reader) {
    return reader.input->format.format == cram ? reader.records : bgzf_tell(reader.input->fp.bgzf);
}

// Whether a record at offset lies at or past the part's end. A part must end exactly where the
// next begins: a cut inside a record would give the next part a record read twice or half a
// record, so it fails the run.
bool pastPartEnd(const PartReader& reader, int64_t offset) {
    if (offset < reader.end)
        return false;
    if (offset != reader.end && reader.end != END_OF_BAM)
        reader.failures.fail("The part of the BAM file \"" + std::string(reader.path) +
                             "\" that ends at virtual offset " + std::to_string(reader.end) +
                             " has a record across that end (the next begins at " +
                             std::to_string(offset) + "): the cut is inside a record");
    return true;
}

// Reads the next record into a spare one; null (the spare kept) at the end or on an error.
bam1_t* readRecord(PartReader& reader, int& result) {
    bam1_t* record = spareRecord(reader);
    if ((result = sam_read1(reader.input, reader.header, record)) >= 0) {
        ++reader.records;
        return record;
    }
    reader.spare.push_back(record);
    return nullptr;
}

// The records in a row that share the name of the next record, when that one begins before the
// part's end; their offsets in reader.offsets. Returns 0, -1 at the end of the part or input,
// below -1 on a read error.
int readSameName(PartReader& reader, RecordGroup& group) {
    int result = 0;
    bam1_t* record = reader.next;
    int64_t offset = reader.nextOffset;
    reader.next = nullptr;
    reader.offsets.clear();
    if (!record) {
        offset = nextRecordOffset(reader);
        if (pastPartEnd(reader, offset) || !(record = readRecord(reader, result)))
            return result < -1 ? result : -1;
    } else if (pastPartEnd(reader, offset)) {
        reader.spare.push_back(record);
        return -1;
    }
    for (;;) {
        group.push_back(record);
        reader.offsets.push_back(offset);
        offset = nextRecordOffset(reader);
        if (!(record = readRecord(reader, result)))
            return result < -1 ? result : 0; // the input ended after this read
        if (std::strcmp(bam_get_qname(record), bam_get_qname(group.front())) != 0) {
            reader.next = record;
            reader.nextOffset = offset;
            return 0;
        }
    }
}

// Whether a record's read may have records elsewhere in an input whose reads are not together:
// any but an unmapped record or a primary one of a uniquely aligned read in one piece (NH 1 and
// no SA, the chimeric pieces' tag).
bool mayStandApart(const bam1_t* record) {
    if (!isPrimaryRecord(record))
        return true;
    if (record->core.flag & BAM_FUNMAP)
        return false;
    return getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 0) != 1 || bam_aux_get(record, "SA");
}

} // namespace

int readGroup(PartReader& reader, RecordGroup& group) {
    for (;;) {
        int result = readSameName(reader, group);
        if (result < 0)
            return result;
        if (reader.multiMapped) {
            if (std::none_of(group.begin(), group.end(), mayStandApart))
                return 0;
            bool added = true;
            for (size_t k = 0; k < group.size() && added; ++k)
                added = reader.multiMapped->add(group[k], reader.offsets[k]);
            reader.spare.insert(reader.spare.end(), group.begin(), group.end());
            group.clear();
            if (!added)
                return -1;
            continue;
        }
        // An aligner writes a read's primary record with its other records. A read without one
        // here has it elsewhere: the input is not grouped by read name.
        if (!reader.groupedByName && std::none_of(group.begin(), group.end(), isPrimaryRecord)) {
            reader.readApart = bam_get_qname(group.front());
            return -1;
        }
        return 0;
    }
}

void recycleRecords(RecordChunk& chunk, PartReader& reader) {
    for (RecordGroup& group : chunk)
        reader.spare.insert(reader.spare.end(), group.begin(), group.end());
    chunk.clear();
}

void freeRecords(RecordChunk& chunk, PartReader& reader) {
    if (reader.next)
        reader.spare.push_back(reader.next);
    reader.next = nullptr;
    chunk.push_back(std::move(reader.spare));
    freeVectorBamRecords(chunk);
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
            reader.failures.fail(
                std::string("Unexpected error in input BAM file. Cannot read the BAM "
                            "file \"") +
                reader.path + "\": it is truncated or corrupt");
    }
    postSemaphore(gReadSemaphore);
    return result >= 0;
}

void writeAnnotatedBamRecords(RecordChunk& chunk, BamWriter& output, ProgressCounter& progress,
                              EarlyTerminate& failures) {
    waitForSemaphore(gWriteSemaphore);
    unsigned long written = 0;
    for (RecordGroup& group : chunk) {
        for (bam1_t* record : group) {
            if (!output.write(record))
                failures.fail(std::string("Failed to write BAM record to file. errno desc: ") +
                              errorText(errno));
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
// error is the errno of the failed call, 0 when there was none.
void fail_worker(EarlyTerminate& failures, const std::string& what, const std::string& path,
                 int error) {
    failures.fail(WORKER + what + path +
                  (error ? std::string(". errno desc: ") + errorText(error) : ""));
}

// A worker's input BAM, its annotated BAM, and the input's header.
struct WorkerBams {
    htsFile* input = nullptr;
    BamWriter output;
    sam_hdr_t* header = nullptr;
};

// The annotated BAM's header: the input's, with Ambrel's @PG line chained to the input's last one
// as samtools and aligners chain theirs. A part grouped by read name gives up the input's claim
// of coordinate order, which samtools index and merge would trust.
bool annotateHeader(sam_hdr_t* header, const BamPart& part) {
    const char* commandLine = part.commandLine.empty() ? nullptr : part.commandLine.c_str();
    if (sam_hdr_add_pg(header, "ambrel", "VN", AMBREL_VERSION, commandLine ? "CL" : nullptr,
                       commandLine, nullptr) < 0)
        return false;
    if (!part.groupedByName)
        return true;
    if (sam_hdr_count_lines(header, "HD") <= 0)
        return sam_hdr_add_line(header, "HD", "VN", SAM_FORMAT_VERSION, "SO", "unsorted", "GO",
                                "query", nullptr) == 0;
    sam_hdr_remove_tag_hd(header, "SS");
    return sam_hdr_update_hd(header, "SO", "unsorted", "GO", "query") == 0;
}

// Opens both BAMs, copies the header and goes to the part's start; false (failure recorded) when
// the worker cannot start.
bool open_worker_bams(WorkerBams& bams, const std::string& outputBamPath, const BamPart& part,
                      EarlyTerminate& failures) {
    const std::string& inputBamPath = part.path;
    if (!(bams.input = hts_open(inputBamPath.c_str(), "rb"))) {
        fail_worker(failures, "Failed to open input BAM file: ", inputBamPath, errno);
        return false;
    }
    if (!(bams.header = sam_hdr_read(bams.input))) {
        fail_worker(failures, "Failed to read the BAM header of input file: ", inputBamPath, 0);
        return false;
    }
    if (!annotateHeader(bams.header, part)) {
        fail_worker(failures, "Failed to add the @PG line to the header of ", outputBamPath, 0);
        return false;
    }
    // These per-part BAMs are read again by the pipeline's next steps, like an aligner's or
    // samtools' temporary files: they are deflated fast (see BamWriter), not at gzip's level 6,
    // which would spend most of the run compressing.
    if (!bams.output.open(outputBamPath, bams.header)) {
        fail_worker(failures, "Failed to write BAM header to output file: ", outputBamPath, errno);
        return false;
    }
    if (part.start >= 0 && bgzf_seek(bams.input->fp.bgzf, part.start, SEEK_SET) < 0) {
        fail_worker(failures, "Failed to seek in input BAM file: ", inputBamPath, errno);
        return false;
    }
    return true;
}

void close_worker_bams(WorkerBams& bams, const std::string& outputBamPath,
                       EarlyTerminate& failures) {
    if (bams.input)
        hts_close(bams.input); // a read error has been reported already
    if (!bams.output.close())
        fail_worker(failures, "Failed to close output BAM file: ", outputBamPath, errno);
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
    EarlyTerminate& failures = files.failures;
    WorkerBams bams;
    if (!open_worker_bams(bams, outputBamPath, part, failures)) {
        close_worker_bams(bams, outputBamPath, failures);
        return;
    }
    PartReader reader(bams.input, bams.header, part, failures);
    std::array<unsigned long, READ_SHAPES> shapes{};
    // This worker's counts, added to the library's once at the end.
    LibraryMetrics counts = metrics.emptyCopy();
    std::string tcrFastqBuffer, bcrFastqBuffer;
    tcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    bcrFastqBuffer.reserve(FASTQ_BLOCK_SIZE);
    RecordChunk chunk;
    std::vector<bam1_t*> chunkRecords;
    FeatureAssigner::HeaderIndex headerIndex = featureAssigner.indexHeader(bams.header);
    bool more = true;
    const bool blocks = bams.input->format.format == bam;
    uint64_t readUpTo = blocks ? static_cast<uint64_t>(bgzf_tell(bams.input->fp.bgzf)) >> 16 : 0;
    while (more && !failures.failed() && !progress.apart.load()) {
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
            if (!group.empty())
                ++shapes[static_cast<size_t>(annotateR2(
                    assay, bams.header, group, extraReferenceNames, counts, files, tcrFastqBuffer,
                    bcrFastqBuffer, excludeIntronicReads, vdjCellCalling))];
        for (bam1_t* record : chunkRecords)
            if (!stripCellAndUMIFromQName(record))
                fail_worker(failures, "Failed to set the read name of a record", "", 0);
        writeAnnotatedBamRecords(chunk, bams.output, progress, failures);
        if (blocks) {
            uint64_t now = static_cast<uint64_t>(bgzf_tell(bams.input->fp.bgzf)) >> 16;
            progress.compressedRead += now - std::min(now, readUpTo);
            readUpTo = std::max(now, readUpTo);
        }
        recycleRecords(chunk, reader);
        if (tcrFastqBuffer.size() >= FASTQ_BLOCK_SIZE)
            files.flushFastq(tcrFastqBuffer, files.tcr);
        if (bcrFastqBuffer.size() >= FASTQ_BLOCK_SIZE)
            files.flushFastq(bcrFastqBuffer, files.bcr);
    }
    metrics.addConcurrently(counts);
    for (size_t k = 0; k < shapes.size(); ++k)
        progress.shapes[k] += shapes[k];
    if (!tcrFastqBuffer.empty())
        files.flushFastq(tcrFastqBuffer, files.tcr);
    if (!bcrFastqBuffer.empty())
        files.flushFastq(bcrFastqBuffer, files.bcr);
    close_worker_bams(bams, outputBamPath, failures);
    freeRecords(chunk, reader);
}
