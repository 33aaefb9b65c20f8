// The run's parameters: the command line, the thread count and semaphores, the run metadata.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/ArgumentParser.h"
#include "support/JsonValue.h"
#include "support/Logger.h"
#include "support/Utilities.h"

extern const char* const DEFAULT_QUALITY_METRICS_PATH;
extern const char* const FEATURE_COUNTS_TMP_DIR;
// The most threads a run uses: bamSplitter's largest fragment count.
extern const unsigned long MAX_THREADS;

struct RunParameters {
    std::string metadataPath;
    std::vector<std::string> bamPaths;
    std::string assayText;
    AssayType assay = NONE;
    std::string gtfPath;
    std::string transcriptLengthPath;
    std::vector<std::string> extraFastaPaths;
    std::string qualityMetricsPath = DEFAULT_QUALITY_METRICS_PATH;
    UMIOption umiOption = ABSEQ_UMI_ONLY;
    unsigned long threads = 1;
    Logger::Level messageLevel = Logger::INFO;
    bool excludeIntronicReads = false;
    // From the run metadata.
    std::string vdjVersion;
    std::string sampleTagsVersion;
    bool vdjCellCalling = false;
    std::string runBaseName = "null";
    // The command line as typed, for the annotated BAMs' @PG line.
    std::string commandLine;
};

// Registers the eleven options; their handlers fill the list options and the flag of params.
void registerOptions(ArgumentParser& parser, RunParameters& params);

// Parses argv into params: validation order and fallbacks as the run needs them. For --help
// (printed on standard output) and for missing required options (the usage on standard error),
// the exit status the process ends with: 0 and 1; nothing when the run goes on. Throws for a
// command line that cannot be read as written, a --threads that is no count, and an assay other
// than WTA or Targeted.
[[nodiscard]] std::optional<int> parseRunParameters(int argc, const char* const* argv,
                                                    RunParameters& params);

// The processors this process may use: its CPU affinity, capped by a cgroup CPU quota rounded
// down; at least 1.
unsigned long availableProcessors();
// T from the threads option text, a whole number from 1 to MAX_THREADS (std::invalid_argument
// naming the text otherwise), or availableProcessors() when the option is absent (nullptr).
unsigned long parseThreadCount(const std::string* text);
// (read, write) semaphore limits for T threads.
std::pair<unsigned long, unsigned long> semaphoreLimits(unsigned long threads);

// Reads the metadata keys into params. Returns false when the file cannot be loaded.
[[nodiscard]] bool loadRunMetadata(const std::string& path, JsonValue& metadata,
                                   RunParameters& params);

// The "[\n\t\t\"path\",...\n\t]" text of the BAM list for the parameter log.
std::string bamListText(const std::vector<std::string>& bamPaths);

// The library name of a BAM: its file name without the "<run base name>_" prefix, through
// getLibraryName, without the last 8 characters. Throws std::invalid_argument naming the file
// when the file name is too short to hold the prefix.
std::string libraryNameFromBamPath(const std::string& bamPath, const std::string& runBaseName);
void checkBamFileNames(const std::vector<std::string>& bamPaths, const std::string& runBaseName);
