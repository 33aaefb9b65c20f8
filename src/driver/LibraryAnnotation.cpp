#include "LibraryAnnotation.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "annotation/AnnotationWorker.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/Command.h"
#include "support/EarlyTerminate.h"
#include "support/Logger.h"

namespace fs = std::filesystem;

namespace {
constexpr unsigned long PROGRESS_INTERVAL = 10000000;
}

unsigned long readCountFromLog(const std::string& path) {
    std::ifstream in(path);
    unsigned long count = 0;
    if (!(in >> count))
        return 0;
    return count;
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

// The number of records in the library's BAM, counted by samtools.
unsigned long __count_records(const std::string& bamPath, unsigned long threads) {
    Command count("samtools");
    count.addArguments({"view", "-@", std::to_string(threads), "-c", bamPath});
    count.logStdoutToFile("");
    count.logStderrToFile("");
    gLogger.info("Calling samtools to get the number of reads");
    runCommandAndLogError(count, gLogger, true, true);
    unsigned long reads = readCountFromLog(count.stdoutPath());
    fs::remove(count.stdoutPath());
    gLogger.info("Number of reads in BAM file: %lu", reads);
    return reads;
}

// Cuts the library's BAM into at most `threads` fragments in the temporary directory; returns
// their paths in directory order.
std::vector<std::string> __split_library(const std::string& bamPath, unsigned long reads,
                                         unsigned long threads) {
    // Fragments left by an earlier, failed run would be annotated as part of this library.
    if (fs::exists(FEATURE_COUNTS_TMP_DIR) && !fs::is_empty(FEATURE_COUNTS_TMP_DIR)) {
        gLogger.warning("Removing the leftover files of an earlier run from %s",
                        FEATURE_COUNTS_TMP_DIR);
        fs::remove_all(FEATURE_COUNTS_TMP_DIR);
    }
    fs::create_directories(FEATURE_COUNTS_TMP_DIR);
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
    unsigned long reads = __count_records(bamPath, params.threads);
    std::vector<std::string> fragments = __split_library(bamPath, reads, params.threads);
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
