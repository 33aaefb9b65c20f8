#include "RunSetup.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <sched.h>
#include <stdexcept>
#include <unistd.h>
#include <unordered_set>

#include "annotation/Semaphore.h"
#include "support/Cgroups.h"
#include "support/LibraryName.h"

const char* const DEFAULT_QUALITY_METRICS_PATH = "ReadQualityMetrics.json";
const char* const FEATURE_COUNTS_TMP_DIR = "FeatureCountsTmpDir";
const unsigned long MAX_THREADS = 4096;

namespace {

const char* const HELP_NOTES =
    "Annotates the aligned R2 reads of each library with their gene features and writes the\n"
    "run's valid-reads tables, receptor FASTQ, annotated BAMs and sequencing-metrics report.\n"
    "\n"
    "--r2-bam and --extra-seqs take several paths, comma-separated or as several words\n"
    "(--r2-bam runs/*.bam): every word up to the next option is one of their values.\n"
    "--message-level is one of ALL, DEBUG, INFO, WARNING, ERROR, CRITICAL, NONE (any case).\n"
    "--threads is a whole number from 1 to 4096.\n"
    "--version prints the version and exits.";

} // namespace

namespace {

// Appends each comma-separated piece; an empty piece between commas is kept, a trailing comma
// adds nothing.
void append_comma_list(std::vector<std::string>& list, const std::string& value) {
    for (const std::string& piece : strSplit(value, ','))
        list.push_back(piece);
}

const std::string* option_text(const ArgumentParser& parser, const char* valueName) {
    auto found = parser.parsedOptions.find(valueName);
    if (found == parser.parsedOptions.end() || found->second.values.empty())
        return nullptr;
    return &found->second.values.at(0);
}

} // namespace

void registerOptions(ArgumentParser& parser, RunParameters& params) {
    using AP = ArgumentParser;
    parser.addOption("run-metadata", "MetadataFile", true, "The metadata associated with this run.",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption(
        "r2-bam", "R2BAMFiles", true, "BAM output file from the aligner.", AP::REQUIRED_VALUE,
        AP::MULTIPLE,
        [&params](const std::string& value) { append_comma_list(params.bamPaths, value); }, "");
    parser.addOption("assay", "AssayType", true,
                     "The Assay type for the libraries: Either Targeted or WTA.",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption("gtf", "GeneFeatures", true, "GTF file to use as a reference.",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption("transcript-length", "TranscriptLengthJSON", true,
                     "The JSON file containing the length of transcripts for the input BAM file.",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption(
        "extra-seqs", "ExtraSequences", false,
        "Extra fasta sequences that reads could have been aligned to.", AP::REQUIRED_VALUE,
        AP::MULTIPLE,
        [&params](const std::string& value) { append_comma_list(params.extraFastaPaths, value); },
        "");
    parser.addOption("quality-metrics", "QualityMetrics", false,
                     "The read quality metrics JSON file to use instead of searching of the "
                     "current working directory for the relevant file.",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption("umi-option", "UMIOption", false,
                     "Specify whether to (0) use R1 UMI only, (1) use AbUMI only, or (2) use R1 "
                     "UMI + AbUMI for AbSeq",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption("threads", "Threads", false,
                     "The number of threads allowed to be utilized. [default: Number of "
                     "available cores]",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption("message-level", "MessageLevel", false,
                     "The message level to use for log messages. [default: "
                     "Logger::Level::INFO]",
                     AP::REQUIRED_VALUE, AP::SINGLE, nullptr, "");
    parser.addOption(
        "exclude-intronic-reads", "ExcludeIntronicReads", false,
        "Flag Ambrel that we should exclude intronic reads from our counts", AP::NO_VALUE,
        AP::SINGLE, [&params](const std::string&) { params.excludeIntronicReads = true; }, "");
}

unsigned long parseThreadCount(const std::string* text) {
    if (!text)
        return availableProcessors();
    // Digits only: strtoul would take "-1" as a huge count and "four" or "" as none.
    unsigned long threads = 0;
    bool digits = !text->empty() && text->size() <= 5 &&
                  text->find_first_not_of("0123456789") == std::string::npos;
    if (digits)
        threads = std::stoul(*text);
    if (threads < 1 || threads > MAX_THREADS)
        throw std::invalid_argument("--threads \"" + *text + "\" is not a whole number from 1 to " +
                                    std::to_string(MAX_THREADS) +
                                    " (the most parts a library is split into); see 'ambrel "
                                    "--help'");
    return threads;
}

namespace {} // namespace

unsigned long availableProcessors() {
    // The processors this process may run on (taskset, a container's or a batch job's slot), not
    // every processor of the machine, and no more than a CPU quota allows.
    cpu_set_t set;
    unsigned long processors = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        processors = static_cast<unsigned long>(CPU_COUNT(&set));
    if (processors == 0) {
        long online = sysconf(_SC_NPROCESSORS_ONLN);
        processors = online > 0 ? static_cast<unsigned long>(online) : 1;
    }
    unsigned long quota = cgroupCpuLimit();
    return quota > 0 ? std::min(processors, quota) : processors;
}

std::pair<unsigned long, unsigned long> semaphoreLimits(unsigned long threads) {
    if (threads <= 8)
        return {threads, threads};
    // floor(2T / 3) without overflowing 2T.
    unsigned long read = threads / 3 * 2 + (threads % 3) * 2 / 3;
    return {read, read - 1};
}

std::string bamListText(const std::vector<std::string>& bamPaths) {
    std::string text = "[";
    for (const std::string& path : bamPaths)
        text += "\n\t\t\"" + path + "\",";
    return text + "\n\t]";
}

std::optional<int> parseRunParameters(int argc, const char* const* argv, RunParameters& params) {
    ArgumentParser parser(HELP_NOTES);
    registerOptions(parser, params);
    // Parsed before the first log line: --help prints the help alone, on standard output.
    switch (parser.parseArguments(argc, argv)) {
    case ArgumentParser::HELP:
        std::fputs(parser.helpText(argv[0], {}).c_str(), stdout);
        return 0;
    case ArgumentParser::MISSING_OPTIONS:
        std::fputs(parser.helpText(argv[0], parser.missing).c_str(), stderr);
        return 1;
    case ArgumentParser::PARSED:
        break;
    }
    std::vector<std::string> words(argv, argv + argc);
    params.commandLine = strJoin(words, " ");
    gLogger.info("Started Ambrel");
    gLogger.info("Parsing command line arguments");
    gLogger.debug("Parsed %lu option flags",
                  static_cast<unsigned long>(parser.parsedOptions.size()));

    params.assayText = parser.parsedOptions.at("AssayType").values.at(0);
    params.assay = strToAssayType(params.assayText);
    if (params.assay != WTA && params.assay != Targeted)
        throw std::runtime_error("Only WTA or Targeted assay types supported ! --assay \"" +
                                 params.assayText + "\" is neither");

    params.metadataPath = parser.parsedOptions.at("MetadataFile").values.at(0);
    params.gtfPath = parser.parsedOptions.at("GeneFeatures").values.at(0);
    params.transcriptLengthPath = parser.parsedOptions.at("TranscriptLengthJSON").values.at(0);

    const std::string* umi = option_text(parser, "UMIOption");
    params.umiOption = parseUMIOptionArgument(umi ? *umi : "");

    params.threads = parseThreadCount(option_text(parser, "Threads"));
    std::pair<unsigned long, unsigned long> limits = semaphoreLimits(params.threads);
    setSemaphore(gReadSemaphore, limits.first);
    setSemaphore(gWriteSemaphore, limits.second);

    if (const std::string* level = option_text(parser, "MessageLevel")) {
        params.messageLevel = Logger::getLevelFromString(*level, Logger::INFO);
        setMessageLevel(params.messageLevel);
    }
    if (const std::string* quality = option_text(parser, "QualityMetrics"))
        params.qualityMetricsPath = *quality;
    return std::nullopt;
}

bool loadRunMetadata(const std::string& path, JsonValue& metadata, RunParameters& params) {
    if (!loadJsonFile(metadata, path.c_str()))
        return false;
    if (metadata.getType() != JsonValue::OBJECT)
        throw std::runtime_error("The run metadata file \"" + path + "\" holds " +
                                 metadata.getTypeString() + ", not a JSON object of run keys");
    // A key of another type keeps its default, which changes the run: say which.
    auto stringMember = [&metadata, &path](const char* key, std::string& target) {
        if (!metadata.hasMember(key))
            return false;
        if (metadata[key].getType() != JsonValue::STRING) {
            gLogger.warning("The run metadata file \"%s\": %s is %s, not a string; it is ignored",
                            path.c_str(), key, metadata[key].getTypeString().c_str());
            return false;
        }
        target = static_cast<std::string>(metadata[key]);
        return true;
    };
    stringMember("VDJ_Version", params.vdjVersion);
    stringMember("Sample_Tags_Version", params.sampleTagsVersion);
    std::string cellCalling;
    if (stringMember("Putative_Cell_Calling_Data", cellCalling))
        params.vdjCellCalling = cellCalling == "VDJ";
    if (!metadata.hasMember("Run_Base_Name"))
        gLogger.warning("The run metadata file \"%s\" has no Run_Base_Name: the outputs will be "
                        "named null_*",
                        path.c_str());
    else if (metadata["Run_Base_Name"].getType() != JsonValue::STRING)
        throw std::runtime_error("The run metadata file \"" + path + "\": Run_Base_Name is " +
                                 metadata["Run_Base_Name"].getTypeString() +
                                 ", not the string that names the outputs");
    else
        params.runBaseName = static_cast<std::string>(metadata["Run_Base_Name"]);
    return true;
}

std::string libraryNameFromBamPath(const std::string& bamPath, const std::string& runBaseName) {
    size_t slash = bamPath.rfind('/');
    std::string fileName = slash == std::string::npos ? bamPath : bamPath.substr(slash + 1);
    size_t prefix = runBaseName.size() + 1;
    if (fileName.size() < prefix)
        throw std::invalid_argument("The BAM file name \"" + fileName + "\" of \"" + bamPath +
                                    "\" is shorter than the run base name prefix \"" + runBaseName +
                                    "_\" that is cut from it");
    std::string name = getLibraryName(fileName.substr(prefix));
    if (name.size() >= 8)
        name.resize(name.size() - 8);
    return name;
}

void checkBamFileNames(const std::vector<std::string>& bamPaths, const std::string& runBaseName) {
    for (const std::string& path : bamPaths) {
        size_t slash = path.rfind('/');
        size_t length = slash == std::string::npos ? path.size() : path.size() - slash - 1;
        if (length < runBaseName.size() + 1)
            libraryNameFromBamPath(path, runBaseName); // throws with the file named
    }
}
