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

// What a first pass over a library's BAM finds, without keeping any record.
struct LibraryScan {
    unsigned long records = 0;
    // Whether every read's records stand together (a record and the NH - 1 records after it
    // share its name), as the workers read them; else the first read found apart.
    bool grouped = true;
    std::string readApart;
};

// Reads the BAM once with `threads` decoding threads; with stopWhenApart, stops at the first
// read found apart. Throws naming the file when it cannot be read to its end.
LibraryScan __scan_library(const std::string& bamPath, unsigned long threads, bool stopWhenApart) {
    LibraryScan scan;
    samFile* input = sam_open(bamPath.c_str(), "r");
    if (!input)
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open the BAM file \"" + bamPath + "\"");
    hts_set_threads(input, static_cast<int>(std::min<unsigned long>(threads, 64)));
    sam_hdr_t* header = sam_hdr_read(input);
    bam1_t* record = bam_init1();
    std::string groupName;
    long remaining = 0; // records of the current read still to come
    int result = header ? 0 : -2;
    while (header && (result = sam_read1(input, header, record)) >= 0) {
        ++scan.records;
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
        long nh = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 1);
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
    bool stopped = stopWhenApart && !scan.grouped;
    if (!header || (result < -1 && !stopped) || (!closed && !stopped))
        throw std::runtime_error(
            "Cannot read the BAM file \"" + bamPath + "\": it is truncated or corrupt" +
            (header && scan.records ? " after record " + std::to_string(scan.records)
                                    : std::string()));
    return scan;
}

// A copy of the library's BAM with each read's records together: samtools sort -n keeps the
// records of one name in their input order. Returns its path.
std::string __group_by_read(const std::string& bamPath, const LibraryScan& apart,
                            unsigned long threads) {
    gLogger.warning("The records of read %s in %s are not together (a coordinate-sorted BAM?): "
                    "grouping the records by read name with samtools sort -n first, at the cost of "
                    "one more pass over the input and a copy of it in the run's folder",
                    apart.readApart.c_str(), bamPath.c_str());
    std::string grouped = std::string(FEATURE_COUNTS_TMP_DIR) + "/reads_grouped_by_name.unsplit";
    Command sort("samtools");
    sort.addArguments({"sort", "-n", "-@", std::to_string(threads), "-l", "1", "-O", "bam", "-T",
                       std::string(FEATURE_COUNTS_TMP_DIR) + "/grouping", "-o", grouped, bamPath});
    sort.logStdoutToFile("");
    sort.logStderrToFile("");
    runCommandAndLogError(sort, gLogger, true, true);
    return grouped;
}

// The number of records of the library, and the BAM to split: the input itself, or a copy
// grouped by read when the input's reads are not together.
std::pair<unsigned long, std::string> __reads_together(const std::string& bamPath,
                                                       unsigned long threads) {
    gLogger.info("Counting the records and checking that each read's records are together");
    LibraryScan scan = __scan_library(bamPath, threads, true);
    std::string source = bamPath;
    if (!scan.grouped) {
        source = __group_by_read(bamPath, scan, threads);
        scan = __scan_library(source, threads, false);
        if (!scan.grouped)
            throw std::runtime_error("The BAM file \"" + bamPath + "\" has fewer records of read " +
                                     scan.readApart +
                                     " than its NH tag says, even grouped by "
                                     "read name");
    }
    gLogger.info("Number of reads in BAM file: %lu", scan.records);
    return {scan.records, source};
}

// Cuts the library's BAM into at most `threads` fragments in the temporary directory; returns
// their paths in directory order.
std::vector<std::string> __split_library(const std::string& bamPath, unsigned long reads,
                                         unsigned long threads) {
    unsigned long perFragment = recordsPerFragment(reads, threads);
    std::string prefix = std::string(FEATURE_COUNTS_TMP_DIR) + "/aligned_reads_fragment";
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
    if (bamPath.compare(0, std::strlen(FEATURE_COUNTS_TMP_DIR), FEATURE_COUNTS_TMP_DIR) == 0)
        fs::remove(bamPath); // the grouped copy: its fragments hold every record now

    gLogger.info("Getting the list of BAM files after split");
    std::vector<std::string> fragments;
    for (const fs::path& entry : getDirectoryContents(FEATURE_COUNTS_TMP_DIR))
        if (strEndsWith(entry.filename().string(), ".bam"))
            fragments.push_back(entry.string());
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
    std::pair<unsigned long, std::string> input = __reads_together(bamPath, params.threads);
    std::vector<std::string> fragments = __split_library(input.second, input.first, params.threads);
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
            std::ref(featureAssigner), params.excludeIntronicReads, params.vdjCellCalling);
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
