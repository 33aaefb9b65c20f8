#include "LibraryAnnotation.h"

#include <htslib/bgzf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

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

LibraryScan scanLibraryBam(const std::string& bamPath, unsigned long threads, bool stopWhenApart,
                           const std::string& multiMappedPath, unsigned long anchorSpacing) {
    LibraryScan scan;
    samFile* input = sam_open(bamPath.c_str(), "r");
    if (!input)
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open the BAM file \"" + bamPath + "\"");
    // A file cut short lacks the end-of-file block. HTSlib's threaded reader does not always
    // report the cut (it can even stop as at a clean end), so it is refused before reading.
    if (input->format.format == bam && bgzf_check_EOF(input->fp.bgzf) == 0) {
        hts_close(input);
        throw std::runtime_error("Cannot read the BAM file \"" + bamPath +
                                 "\": it is truncated or corrupt (no end-of-file block)");
    }
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
            if (stopWhenApart)
                break;
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
    bool stopped = stopWhenApart && !scan.grouped;
    if (!header || (result < -1 && !stopped) || (!closed && !stopped))
        throw std::runtime_error(
            "Cannot read the BAM file \"" + bamPath + "\": it is truncated or corrupt" +
            (header && scan.records ? " after record " + std::to_string(scan.records)
                                    : std::string()));
    return scan;
}

namespace {

// What the workers of a library read: the input itself, and when its reads are not together, a
// copy of its multi-mapped records grouped by read.
struct LibraryInput {
    LibraryScan input;
    std::string multiMapped; // empty when the input's reads are together
    LibraryScan grouped;     // of multiMapped
};

const char* const MULTI_MAPPED_UNSORTED = "multi_mapped.unsorted";
const char* const MULTI_MAPPED_GROUPED = "multi_mapped.grouped";

// Reads apart (a coordinate-sorted BAM): only the records of reads with several alignments can be
// apart, and those are a small part of a library. They are copied out and grouped by name with
// samtools sort -n, which keeps one name's records in input order; the workers of the input pass
// them over.
LibraryInput __group_multi_mapped(const std::string& bamPath, const LibraryScan& apart,
                                  unsigned long threads) {
    gLogger.warning("The records of read %s in %s are not together (a coordinate-sorted BAM?): "
                    "grouping the records of multi-mapped reads by read name with samtools sort "
                    "-n, at the cost of one more pass over the input and a sort of those records",
                    apart.readApart.c_str(), bamPath.c_str());
    std::string unsorted = std::string(FEATURE_COUNTS_TMP_DIR) + "/" + MULTI_MAPPED_UNSORTED;
    LibraryInput input;
    input.input = scanLibraryBam(bamPath, threads, false, unsorted);
    input.multiMapped = std::string(FEATURE_COUNTS_TMP_DIR) + "/" + MULTI_MAPPED_GROUPED;
    Command sort("samtools");
    sort.addArguments({"sort", "-n", "-@", std::to_string(threads), "-l", "1", "-O", "bam", "-T",
                       std::string(FEATURE_COUNTS_TMP_DIR) + "/grouping", "-o", input.multiMapped,
                       unsorted});
    sort.logStdoutToFile("");
    sort.logStderrToFile("");
    runCommandAndLogError(sort, gLogger, true, true);
    fs::remove(unsorted);
    input.grouped = scanLibraryBam(input.multiMapped, threads, false);
    if (!input.grouped.grouped)
        throw std::runtime_error("The BAM file \"" + bamPath + "\" has fewer records of read " +
                                 input.grouped.readApart +
                                 " than its NH tag says, even grouped by read name");
    return input;
}

// Counts the records of the library and checks that each read's records are together.
LibraryInput __library_input(const std::string& bamPath, unsigned long threads) {
    gLogger.info("Counting the records and checking that each read's records are together");
    LibraryScan scan = scanLibraryBam(bamPath, threads, true);
    LibraryInput input;
    if (scan.grouped)
        input.input = std::move(scan);
    else
        input = __group_multi_mapped(bamPath, scan, threads);
    gLogger.info("Number of reads in BAM file: %lu", input.input.records);
    return input;
}

} // namespace

std::vector<BamPart> libraryParts(const std::string& path, const LibraryScan& scan,
                                  unsigned long count, bool skipMultiMapped) {
    std::vector<BamPart> parts;
    unsigned long perPart = recordsPerPart(scan.records, count);
    for (unsigned long k = 0; k < count && k * perPart < scan.records; ++k) {
        BamPart part;
        part.path = path;
        part.first = k * perPart;
        part.end = k + 1 < count ? (k + 1) * perPart : ~0UL;
        auto anchor = std::upper_bound(
            scan.anchors.begin(), scan.anchors.end(), part.first,
            [](unsigned long record, const std::pair<unsigned long, int64_t>& noted) {
                return record < noted.first;
            });
        part.anchorRecord = std::prev(anchor)->first;
        part.anchorOffset = std::prev(anchor)->second;
        part.skipMultiMapped = skipMultiMapped;
        parts.push_back(part);
    }
    return parts;
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

bool annotateLibrary(const std::string& bamPath, const RunParameters& params,
                     ReadAnnotationFiles& files,
                     const std::unordered_set<std::string>& extraReferenceNames,
                     FeatureAssigner& featureAssigner, std::vector<LibraryMetrics>& metricsList,
                     std::vector<std::string>& libraryNames) {
    // Fragments left by an earlier, failed library would be annotated as part of this one.
    if (fs::exists(FEATURE_COUNTS_TMP_DIR) && !fs::is_empty(FEATURE_COUNTS_TMP_DIR)) {
        gLogger.warning("Removing the leftover files of an earlier run from %s",
                        FEATURE_COUNTS_TMP_DIR);
        fs::remove_all(FEATURE_COUNTS_TMP_DIR);
    }
    fs::create_directories(FEATURE_COUNTS_TMP_DIR);
    LibraryInput input = __library_input(bamPath, params.threads);
    // The workers read the input itself. When its reads are not together they pass over the
    // multi-mapped records, which parts of their own read grouped, in parts of about the same size.
    bool apart = !input.multiMapped.empty();
    std::vector<BamPart> parts = libraryParts(bamPath, input.input, params.threads, apart);
    if (apart) {
        unsigned long count = params.threads * input.grouped.records / input.input.records;
        std::vector<BamPart> grouped =
            libraryParts(input.multiMapped, input.grouped, std::max(1UL, count), false);
        parts.insert(parts.end(), grouped.begin(), grouped.end());
    }
    gLogger.info("Annotating %lu parts of about %lu records each, read from the input in place",
                 static_cast<unsigned long>(parts.size()),
                 recordsPerPart(input.input.records, params.threads));
    std::string libraryName = libraryNameFromBamPath(bamPath, params.runBaseName);
    std::vector<std::string> outputs;
    for (size_t k = 0; k < parts.size(); ++k)
        outputs.push_back(libraryName + ".annotated." + std::to_string(k + 1) + ".bam");

    // One worker per part.
    LibraryMetrics metrics(params.sampleTagsVersion, params.assay, params.umiOption,
                           params.excludeIntronicReads, {}, {}, params.vdjVersion);
    ProgressCounter progress(PROGRESS_INTERVAL);
    std::vector<FeatureCounts> featureCounts(parts.size());
    gLogger.info("Starting annotation for library: %s", libraryName.c_str());
    std::vector<std::thread> workers;
    for (size_t k = 0; k < parts.size(); ++k)
        workers.emplace_back(
            annotationMetricsAndCounting, std::cref(params.assay), std::cref(outputs[k]),
            std::cref(parts[k]), std::cref(extraReferenceNames), std::ref(metrics), std::ref(files),
            std::ref(progress), std::ref(featureCounts[k]), std::ref(featureAssigner),
            params.excludeIntronicReads, params.vdjCellCalling);
    for (std::thread& worker : workers)
        worker.join();
    gLogger.info("    Processed and wrote %'lu total annotated bam records to disk",
                 progress.count.load());
    gLogger.info("    Total phiX reads identified: %lu", metrics.phixReads.load());
    if (__report_worker_failures())
        return false;

    // Record the library.
    metricsList.push_back(metrics);
    libraryNames.push_back(libraryName);
    fs::remove_all(FEATURE_COUNTS_TMP_DIR);
    gLogger.info("Finished annotation for library: %s", libraryName.c_str());
    return true;
}
