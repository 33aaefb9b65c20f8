#include "Run.h"

#include <clocale>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_set>

#include "LibraryAnnotation.h"
#include "RunChecks.h"
#include "RunFolder.h"
#include "RunSetup.h"
#include "features/FastaFile.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "metrics/SeqMetricsReport.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"
#include "support/Logger.h"
#include "support/StopSignals.h"

std::string outputHeaderText(JsonValue& metadata) {
    std::string text;
    for (const JsonValue* line : metadata["Output_Header"].iterableValues())
        text += static_cast<std::string>(*line) + "\n";
    return text;
}

void finishRun(const RunParameters& params, JsonValue& metadata, ReadAnnotationFiles& files,
               std::vector<LibraryMetrics>& metricsList, std::vector<std::string>& libraryNames) {
    files.closeVdjFastqFiles();
    gLogger.info("Sorting the output CSVs using %lu threads", params.threads);
    files.sortValidReadsFiles(params.threads, "."); // temporary files in the run's folder

    gLogger.info("Writing aggregate summary metrics");
    std::string header = outputHeaderText(metadata);
    LibraryMetrics combined(params.sampleTagsVersion, params.assay, params.umiOption,
                            params.excludeIntronicReads, {}, {}, params.vdjVersion);
    for (const LibraryMetrics& library : metricsList)
        combined += library;
    metricsList.push_back(combined);
    libraryNames.push_back("Combined_stats");
    writeSeqMetrics(params.runBaseName, header, metricsList, libraryNames,
                    params.qualityMetricsPath);
}

namespace {

// The run proper, in the staging folder: returns 1 when a worker failed; throws on any other
// failure. Every object that writes outputs is gone when it returns.
int run_libraries(const RunParameters& params, JsonValue& metadata,
                  const std::unordered_set<std::string>& extraReferenceNames,
                  std::unique_ptr<FeatureAssigner>& featureAssigner, EarlyTerminate& failures) {
    ReadAnnotationFiles readAnnotationFiles(params.runBaseName, failures);
    featureAssigner->writeGeneInfoJson(gLogger);
    std::vector<LibraryMetrics> metricsList;
    std::vector<std::string> libraryNames;
    for (const std::string& bamPath : params.bamPaths) {
        gLogger.info("Bam file: %s", bamPath.c_str());
        if (!annotateLibrary(bamPath, params, readAnnotationFiles, extraReferenceNames,
                             *featureAssigner, metricsList, libraryNames))
            return 1;
    }
    // The gene model's memory serves the sorting of the tables.
    featureAssigner.reset();
    finishRun(params, metadata, readAnnotationFiles, metricsList, libraryNames);
    return 0;
}

} // namespace

int runAmbrel(int argc, const char* const* argv) {
    std::setlocale(LC_NUMERIC, "");
    // The run's failure record: the workers' failures and a stop signal end up here.
    EarlyTerminate failures;
    StopSignalWatch stopSignals(failures);
    RunParameters params;
    if (std::optional<int> status = parseRunParameters(argc, argv, params))
        return *status; // the help, or the usage for missing options

    gLogger.info("Using %lu total threads", params.threads);
    gLogger.debug("Running with parameters:\n\trun-metadata: %s\n\tr2-bam: %s\n\tgtf: "
                  "%s\n\ttranscript-length: %s"
                  "\n\tassay: %s",
                  params.metadataPath.c_str(), bamListText(params.bamPaths).c_str(),
                  params.gtfPath.c_str(), params.transcriptLengthPath.c_str(),
                  params.assayText.c_str());

    RunFolderLock lock; // one run per working folder
    JsonValue metadata;
    if (!loadRunMetadata(params.metadataPath, metadata, params)) {
        gLogger.critical("Failed to load the run metadata file: %s", params.metadataPath.c_str());
        return 1;
    }
    // Fail before any output is touched on what is known to fail later, the gene model and the
    // BAMs' fit to it included.
    checkRunInputs(params, metadata);
    std::unordered_set<std::string> extraReferenceNames;
    getFastaHeaders(extraReferenceNames, params.extraFastaPaths);
    gLogger.info("Building the feature assigner");
    auto featureAssigner =
        std::make_unique<FeatureAssigner>(params.gtfPath, params.vdjVersion, gLogger);
    for (const std::string& bam : params.bamPaths)
        checkBamContents(params, bam, *featureAssigner, extraReferenceNames);
    makeInputPathsAbsolute(params);

    if (stopSignal())
        return 128 + stopSignal(); // stopped before anything was touched
    StagingFolder staging;
    int status;
    try {
        status = run_libraries(params, metadata, extraReferenceNames, featureAssigner, failures);
        if (status != 0) {
            for (const std::string& message : failures.messages())
                staging.failed(message);
            return stopSignal() ? 128 + stopSignal() : status;
        }
        staging.publish(params.runBaseName);
    } catch (const std::exception& e) {
        gLogger.critical("%s", e.what());
        staging.failed(stopSignal() ? "Stopped by signal " + std::to_string(stopSignal())
                                    : std::string(e.what()));
        return stopSignal() ? 128 + stopSignal() : 2; // the staging folder says what it kept
    }
    gLogger.info("Ambrel has completed");
    return 0;
}
