#include "LibraryAnnotation.h"

#include <htslib/bgzf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "BamCuts.h"
#include "Constants.h"
#include "annotation/AnnotationWorker.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/BamTag.h"
#include "support/Command.h"
#include "support/EarlyTerminate.h"
#include "support/Logger.h"

namespace fs = std::filesystem;

namespace {
constexpr unsigned long PROGRESS_INTERVAL = 10000000;
}

unsigned long recordsPerPart(unsigned long records, unsigned long threads) {
    return (threads - 1 + records) / threads;
}

LibraryScan scanLibraryBam(const std::string& bamPath, unsigned long threads,
                           const std::string& multiMappedPath, unsigned long anchorSpacing) {
    LibraryScan scan;
    samFile* input = sam_open(bamPath.c_str(), "r");
    if (!input)
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open the BAM file \"" + bamPath + "\"");
#if !defined(__SANITIZE_ADDRESS__)
    hts_set_threads(input, static_cast<int>(std::min<unsigned long>(threads, 64)));
#else
    // HTSlib's threaded reader drops a job result when a block fails to decode, on one of its own
    // threads, where a leak suppression would hide our threads' leaks too: the sanitizer build
    // reads on one thread.
    (void)threads;
#endif
    sam_hdr_t* header = sam_hdr_read(input);
    samFile* multiMapped = nullptr;
    if (header && !multiMappedPath.empty() &&
        (!(multiMapped = sam_open(multiMappedPath.c_str(), "wb0")) ||
         sam_hdr_write(multiMapped, header) < 0)) {
        int error = errno;
        sam_hdr_destroy(header);
        hts_close(input);
        if (multiMapped)
            hts_close(multiMapped);
        throw std::system_error(error, std::generic_category(), "Cannot write " + multiMappedPath);
    }
    bam1_t* record = bam_init1();
    std::string groupName;
    long remaining = 0; // records of the current read still to come
    int result = header ? 0 : -2;
    bool written = true;
    bool boundary = true; // the next record starts a read
    while (header) {
        if (boundary && scan.records >= scan.anchors.size() * anchorSpacing)
            scan.anchors.emplace_back(scan.records, bgzf_tell(input->fp.bgzf));
        if ((result = sam_read1(input, header, record)) < 0)
            break;
        ++scan.records;
        long nh = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 1);
        if (multiMapped && nh > 1)
            written = sam_write1(multiMapped, header, record) >= 0 && written;
        const char* name = bam_get_qname(record);
        boundary = multiMapped || remaining <= 1;
        if (remaining > 0) {
            --remaining;
            if (groupName == name)
                continue;
            scan.grouped = false;
            scan.readApart = groupName;
            remaining = 0;
        }
        if (nh > 1) {
            groupName.assign(name);
            remaining = nh - 1;
            boundary = multiMapped != nullptr;
        }
    }
    if (remaining > 0 && result == -1 && scan.grouped) { // the last read lacks records
        scan.grouped = false;
        scan.readApart = groupName;
    }
    bam_destroy1(record);
    if (header)
        sam_hdr_destroy(header);
    // The threaded reader may notice a damaged block only when it is closed.
    bool closed = hts_close(input) == 0;
    if (multiMapped && (hts_close(multiMapped) != 0 || !written))
        throw std::system_error(errno, std::generic_category(), "Cannot write " + multiMappedPath);
    if (!header || result < -1 || !closed)
        throw std::runtime_error(
            "Cannot read the BAM file \"" + bamPath + "\": it is truncated or corrupt" +
            (header && scan.records ? " after record " + std::to_string(scan.records)
                                    : std::string()));
    return scan;
}

namespace {

const char* const MULTI_MAPPED_UNSORTED = "multi_mapped.unsorted";
const char* const MULTI_MAPPED_GROUPED = "multi_mapped.grouped";

// Parts of path between consecutive cuts (increasing virtual offsets where reads begin).
std::vector<BamPart> __parts_between(const std::string& path, const std::vector<int64_t>& cuts,
                                     bool skipMultiMapped) {
    std::vector<BamPart> parts(cuts.size() + 1);
    for (size_t k = 0; k < parts.size(); ++k) {
        parts[k].path = path;
        parts[k].start = k ? cuts[k - 1] : -1;
        parts[k].end = k < cuts.size() ? cuts[k] : END_OF_BAM;
        parts[k].skipMultiMapped = skipMultiMapped;
    }
    return parts;
}

// Reads apart (a coordinate-sorted BAM): only the records of reads with several alignments can be
// apart, and those are a small part of a library. They are copied out and grouped by name with
// samtools sort -n, which keeps one name's records in input order; the workers of the input pass
// them over. Parts of the input and of the grouped copy, about `threads` per input's worth.
std::vector<BamPart> __parts_with_multi_mapped_grouped(const std::string& bamPath,
                                                       unsigned long threads) {
    std::string unsorted = std::string(FEATURE_COUNTS_TMP_DIR) + "/" + MULTI_MAPPED_UNSORTED;
    std::string grouped = std::string(FEATURE_COUNTS_TMP_DIR) + "/" + MULTI_MAPPED_GROUPED;
    LibraryScan input = scanLibraryBam(bamPath, threads, unsorted);
    Command sort("samtools");
    sort.addArguments({"sort", "-n", "-@", std::to_string(threads), "-l", "1", "-O", "bam", "-T",
                       std::string(FEATURE_COUNTS_TMP_DIR) + "/grouping", "-o", grouped, unsorted});
    sort.logStdoutToFile("");
    sort.logStderrToFile("");
    runCommandAndLogError(sort, gLogger, true, true);
    fs::remove(unsorted);
    LibraryScan groupedScan = scanLibraryBam(grouped, threads);
    if (!groupedScan.grouped)
        throw std::runtime_error("The BAM file \"" + bamPath + "\" has fewer records of read " +
                                 groupedScan.readApart +
                                 " than its NH tag says, even grouped by read name");
    std::vector<BamPart> parts = libraryParts(bamPath, input, threads, true);
    if (input.records > 0 && groupedScan.records > 0) {
        unsigned long count = std::max(1UL, threads * groupedScan.records / input.records);
        std::vector<BamPart> more = libraryParts(grouped, groupedScan, count, false);
        parts.insert(parts.end(), more.begin(), more.end());
    }
    return parts;
}

} // namespace

std::vector<BamPart> libraryParts(const std::string& path, const LibraryScan& scan,
                                  unsigned long count, bool skipMultiMapped) {
    if (scan.records == 0)
        return {};
    // Cut k at the first noted read boundary at or after k * L records.
    std::vector<int64_t> cuts;
    unsigned long perPart = recordsPerPart(scan.records, count);
    for (unsigned long k = 1; k < count; ++k) {
        auto anchor = std::lower_bound(scan.anchors.begin(), scan.anchors.end(), k * perPart,
                                       [](const std::pair<unsigned long, int64_t>& noted,
                                          unsigned long record) { return noted.first < record; });
        if (anchor != scan.anchors.end() && (cuts.empty() || anchor->second > cuts.back()))
            cuts.push_back(anchor->second);
    }
    return __parts_between(path, cuts, skipMultiMapped);
}

namespace {

// Logs the workers' failure messages; true when there were any.
bool __report_worker_failures() {
    if (!TERMINATE_STATE.failed())
        return false;
    gLogger.critical("Encountered critical error(s) in the annotation threads. Exiting...");
    std::lock_guard<std::mutex> lock(TERMINATE_STATE.mutex);
    gLogger.critical("Failure messages: ");
    for (const std::string& message : TERMINATE_STATE.messages)
        gLogger.critical("    %s", message.c_str());
    return true;
}

} // namespace

namespace {

// One worker per part, writing <library>.annotated.<k>.bam; the counts go to metrics.
void __annotate_parts(const std::vector<BamPart>& parts, const std::string& libraryName,
                      const RunParameters& params, ReadAnnotationFiles& files,
                      const std::unordered_set<std::string>& extraReferenceNames,
                      FeatureAssigner& featureAssigner, LibraryMetrics& metrics,
                      ProgressCounter& progress) {
    std::vector<std::string> outputs;
    for (size_t k = 0; k < parts.size(); ++k)
        outputs.push_back(libraryName + ".annotated." + std::to_string(k + 1) + ".bam");
    std::vector<FeatureCounts> featureCounts(parts.size());
    std::vector<std::thread> workers;
    for (size_t k = 0; k < parts.size(); ++k)
        workers.emplace_back(
            annotationMetricsAndCounting, std::cref(params.assay), std::cref(outputs[k]),
            std::cref(parts[k]), std::cref(extraReferenceNames), std::ref(metrics), std::ref(files),
            std::ref(progress), std::ref(featureCounts[k]), std::ref(featureAssigner),
            params.excludeIntronicReads, params.vdjCellCalling);
    for (std::thread& worker : workers)
        worker.join();
}

// Takes back a library's first attempt: its annotated BAMs, its table lines and FASTQ records.
void __take_back(const std::string& libraryName, size_t parts, ReadAnnotationFiles& files,
                 const ReadAnnotationFiles::Mark& mark) {
    for (size_t k = 0; k < parts; ++k)
        fs::remove(libraryName + ".annotated." + std::to_string(k + 1) + ".bam");
    files.rewind(mark);
}

std::unique_ptr<LibraryMetrics> __empty_metrics(const RunParameters& params) {
    return std::make_unique<LibraryMetrics>(
        params.sampleTagsVersion, params.assay, params.umiOption, params.excludeIntronicReads,
        std::vector<std::string>{}, std::vector<std::string>{}, params.vdjVersion);
}

} // namespace

bool annotateLibrary(const std::string& bamPath, const RunParameters& params,
                     ReadAnnotationFiles& files,
                     const std::unordered_set<std::string>& extraReferenceNames,
                     FeatureAssigner& featureAssigner, std::vector<LibraryMetrics>& metricsList,
                     std::vector<std::string>& libraryNames) {
    // Files left by an earlier, failed library would be annotated as part of this one.
    if (fs::exists(FEATURE_COUNTS_TMP_DIR) && !fs::is_empty(FEATURE_COUNTS_TMP_DIR)) {
        gLogger.warning("Removing the leftover files of an earlier run from %s",
                        FEATURE_COUNTS_TMP_DIR);
        fs::remove_all(FEATURE_COUNTS_TMP_DIR);
    }
    fs::create_directories(FEATURE_COUNTS_TMP_DIR);
    std::string libraryName = libraryNameFromBamPath(bamPath, params.runBaseName);
    // Parts of about equal compressed size, cut where reads begin: no pass over the input before
    // the workers start.
    std::vector<BamPart> parts =
        __parts_between(bamPath, readStartCuts(bamPath, params.threads), false);
    gLogger.info("Annotating %lu parts of about %.1f MB each, read from the input in place",
                 static_cast<unsigned long>(parts.size()),
                 static_cast<double>(fs::file_size(bamPath)) / 1e6 /
                     static_cast<double>(parts.size()));
    gLogger.info("Starting annotation for library: %s", libraryName.c_str());
    ReadAnnotationFiles::Mark mark = files.mark();
    std::unique_ptr<LibraryMetrics> metrics = __empty_metrics(params);
    auto progress = std::make_unique<ProgressCounter>(PROGRESS_INTERVAL);
    __annotate_parts(parts, libraryName, params, files, extraReferenceNames, featureAssigner,
                     *metrics, *progress);
    if (progress->apart.load() && !TERMINATE_STATE.failed()) {
        gLogger.warning(
            "The records of read %s in %s are not together (a coordinate-sorted BAM?): "
            "annotating the library again, its multi-mapped reads grouped by read name with "
            "samtools sort -n, at the cost of two more passes over the input and a sort of "
            "those records",
            progress->readApart.c_str(), bamPath.c_str());
        __take_back(libraryName, parts.size(), files, mark);
        parts = __parts_with_multi_mapped_grouped(bamPath, params.threads);
        gLogger.info("Annotating %lu parts, the multi-mapped reads in parts of their own",
                     static_cast<unsigned long>(parts.size()));
        metrics = __empty_metrics(params);
        progress = std::make_unique<ProgressCounter>(PROGRESS_INTERVAL);
        __annotate_parts(parts, libraryName, params, files, extraReferenceNames, featureAssigner,
                         *metrics, *progress);
    }
    gLogger.info("    Processed and wrote %'lu total annotated bam records to disk",
                 progress->count.load());
    gLogger.info("    Total phiX reads identified: %lu", metrics->phixReads.load());
    if (__report_worker_failures())
        return false;
    gLogger.info("Number of reads in BAM file: %lu", progress->count.load());

    // Record the library.
    metricsList.push_back(*metrics);
    libraryNames.push_back(libraryName);
    fs::remove_all(FEATURE_COUNTS_TMP_DIR);
    gLogger.info("Finished annotation for library: %s", libraryName.c_str());
    return true;
}
