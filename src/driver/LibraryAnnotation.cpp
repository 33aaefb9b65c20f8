#include "LibraryAnnotation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>

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

unsigned long recordsPerFragment(unsigned long records, unsigned long threads) {
    return (threads - 1 + records) / threads;
}

std::string bamSplitterProgram() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        fs::path beside = self.parent_path() / "bamSplitter";
        if (access(beside.c_str(), X_OK) == 0)
            return beside.string();
    }
    return "bamSplitter";
}

namespace {

// What a pass over a library's BAM finds.
struct LibraryScan {
    unsigned long records = 0;
    // Whether every read's records stand together (a record and the NH - 1 records after it
    // share its name), as the workers read them; else the first read found apart.
    bool grouped = true;
    std::string readApart;
    unsigned long multiMapped = 0; // records with NH above 1, when they are copied out
};

// Reads the BAM once with `threads` decoding threads. With stopWhenApart, stops at the first read
// found apart; with multiMappedPath, copies every record whose NH is above 1 there (uncompressed:
// it is sorted right after). Throws naming the file when it cannot be read to its end.
LibraryScan __scan_library(const std::string& bamPath, unsigned long threads, bool stopWhenApart,
                           const std::string& multiMappedPath = "") {
    LibraryScan scan;
    samFile* input = sam_open(bamPath.c_str(), "r");
    if (!input)
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open the BAM file \"" + bamPath + "\"");
    hts_set_threads(input, static_cast<int>(std::min<unsigned long>(threads, 64)));
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
    while (header && (result = sam_read1(input, header, record)) >= 0) {
        ++scan.records;
        long nh = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 1);
        if (multiMapped && nh > 1) {
            written = sam_write1(multiMapped, header, record) >= 0 && written;
            ++scan.multiMapped;
        }
        const char* name = bam_get_qname(record);
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
    int error = errno;
    if (multiMapped && (hts_close(multiMapped) != 0 || !written))
        throw std::system_error(errno, std::generic_category(), "Cannot write " + multiMappedPath);
    bool stopped = stopWhenApart && !scan.grouped;
    if (!header || (result < -1 && !stopped) || (!closed && !stopped))
        throw std::runtime_error(
            "Cannot read the BAM file \"" + bamPath + "\": it is truncated or corrupt" +
            (header && scan.records ? " after record " + std::to_string(scan.records)
                                    : std::string()) +
            (error ? std::string(" (") + std::strerror(error) + ")" : std::string()));
    return scan;
}

// What the workers of a library read: the input itself, and when its reads are not together, a
// copy of its multi-mapped records grouped by read.
struct LibraryInput {
    unsigned long records = 0;
    std::string multiMapped; // empty when the input's reads are together
    unsigned long multiMappedRecords = 0;
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
    input.records = __scan_library(bamPath, threads, false, unsorted).records;
    input.multiMapped = std::string(FEATURE_COUNTS_TMP_DIR) + "/" + MULTI_MAPPED_GROUPED;
    Command sort("samtools");
    sort.addArguments({"sort", "-n", "-@", std::to_string(threads), "-l", "1", "-O", "bam", "-T",
                       std::string(FEATURE_COUNTS_TMP_DIR) + "/grouping", "-o", input.multiMapped,
                       unsorted});
    sort.logStdoutToFile("");
    sort.logStderrToFile("");
    runCommandAndLogError(sort, gLogger, true, true);
    fs::remove(unsorted);
    LibraryScan grouped = __scan_library(input.multiMapped, threads, false);
    if (!grouped.grouped)
        throw std::runtime_error("The BAM file \"" + bamPath + "\" has fewer records of read " +
                                 grouped.readApart +
                                 " than its NH tag says, even grouped by read name");
    input.multiMappedRecords = grouped.records;
    return input;
}

// Counts the records of the library and checks that each read's records are together.
LibraryInput __library_input(const std::string& bamPath, unsigned long threads) {
    gLogger.info("Counting the records and checking that each read's records are together");
    LibraryScan scan = __scan_library(bamPath, threads, true);
    LibraryInput input;
    if (scan.grouped)
        input.records = scan.records;
    else
        input = __group_multi_mapped(bamPath, scan, threads);
    gLogger.info("Number of reads in BAM file: %lu", input.records);
    return input;
}

// Cuts a BAM into at most `threads` fragments named by `name` in the temporary directory; returns
// their paths in directory order.
std::vector<std::string> __split_library(const std::string& bamPath, unsigned long reads,
                                         unsigned long threads, const std::string& name) {
    unsigned long perFragment = recordsPerFragment(reads, threads);
    std::string prefix = std::string(FEATURE_COUNTS_TMP_DIR) + "/" + name;
    std::vector<std::string> splitArguments = {bamPath, std::to_string(perFragment), prefix,
                                               std::to_string(threads)};
    Command split(bamSplitterProgram());
    split.addArguments(splitArguments);
    split.logStdoutToFile("");
    split.logStderrToFile("");
    gLogger.info("Executing: bamsplitter %s", strJoin(splitArguments, " ").c_str());
    gLogger.info("Splitting BAM file into %lu files, approximately %lu lines per file", threads,
                 perFragment);
    runCommandAndLogError(split, gLogger, true, true);

    gLogger.info("Getting the list of BAM files after split");
    std::vector<std::string> fragments;
    for (const fs::path& entry : getDirectoryContents(FEATURE_COUNTS_TMP_DIR)) {
        std::string file = entry.filename().string();
        if (strStartsWith(file, name + "_") && strEndsWith(file, ".bam"))
            fragments.push_back(entry.string());
    }
    if (fragments.size() != threads)
        gLogger.warning("    The number of fragment files (%lu) is less thanthe number of "
                        "fragments requested (%lu)",
                        static_cast<unsigned long>(fragments.size()), threads);
    return fragments;
}

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
    std::vector<std::string> fragments =
        __split_library(bamPath, input.records, params.threads, "aligned_reads_fragment");
    // Reads apart: the input's fragments without their multi-mapped records, then those records
    // grouped by read, in fragments of about the same size.
    size_t inputFragments = input.multiMapped.empty() ? 0 : fragments.size();
    if (!input.multiMapped.empty()) {
        unsigned long parts = params.threads * input.multiMappedRecords / input.records;
        std::vector<std::string> grouped =
            __split_library(input.multiMapped, input.multiMappedRecords,
                            std::max(1UL, parts), "multi_mapped_fragment");
        fs::remove(input.multiMapped);
        fragments.insert(fragments.end(), grouped.begin(), grouped.end());
    }
    std::string libraryName = libraryNameFromBamPath(bamPath, params.runBaseName);
    std::vector<std::string> outputs;
    for (size_t k = 0; k < fragments.size(); ++k)
        outputs.push_back(libraryName + ".annotated." + std::to_string(k + 1) + ".bam");

    // One worker per fragment.
    LibraryMetrics metrics(params.sampleTagsVersion, params.assay, params.umiOption,
                           params.excludeIntronicReads, {}, {}, params.vdjVersion);
    ProgressCounter progress(PROGRESS_INTERVAL);
    std::vector<FeatureCounts> featureCounts(fragments.size());
    gLogger.info("Starting annotation for library: %s", libraryName.c_str());
    std::vector<std::thread> workers;
    for (size_t k = 0; k < fragments.size(); ++k)
        workers.emplace_back(
            annotationMetricsAndCounting, std::cref(params.assay), std::cref(outputs[k]),
            std::cref(fragments[k]), std::cref(extraReferenceNames), std::ref(metrics),
            std::ref(files), std::ref(progress), std::ref(featureCounts[k]),
            std::ref(featureAssigner), params.excludeIntronicReads, params.vdjCellCalling,
            k < inputFragments);
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
