#include "LibraryAnnotation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

#include "BamCuts.h"
#include "Constants.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/ReadAnnotation.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"
#include "support/Handles.h"
#include "support/Logger.h"
#include "support/ProgressLine.h"
#include "support/Workers.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* WORKER_FAILURE_VARIABLE = "AMBREL_TEST_WORKER_FAILURE";
constexpr unsigned long PROGRESS_INTERVAL = 10000000;
const char* const MULTI_MAPPED_BUCKETS = "multi_mapped";
const char* const MULTI_MAPPED_GROUPED = "multi_mapped.grouped";
} // namespace

std::vector<BamPart> partsBetween(const std::string& path, const std::vector<int64_t>& cuts,
                                  MultiMappedBuckets* multiMapped) {
    std::vector<BamPart> parts(cuts.size() + 1);
    for (size_t k = 0; k < parts.size(); ++k) {
        parts[k].path = path;
        parts[k].start = k ? cuts[k - 1] : -1;
        parts[k].end = k < cuts.size() ? cuts[k] : END_OF_BAM;
        parts[k].multiMapped = multiMapped;
    }
    return parts;
}

namespace {

// Logs the workers' failure messages; true when there were any.
bool report_worker_failures(const EarlyTerminate& failures) {
    if (!failures.failed())
        return false;
    gLogger.critical("Encountered critical error(s) in the annotation threads. Exiting...");
    gLogger.critical("Failure messages: ");
    for (const std::string& message : failures.messages())
        gLogger.critical("    %s", message.c_str());
    return true;
}

// The annotated BAM of a library's part number k (from 1).
std::string annotated_bam(const std::string& libraryName, size_t k) {
    return libraryName + ".annotated." + std::to_string(k) + ".bam";
}

// "Sample1: 43 % of the input, 1,234,567 records at 245,000 a second, about 1 min 20 s left".
std::string annotationProgress(const std::string& libraryName, const ProgressCounter& progress,
                               uint64_t inputBytes, double seconds) {
    unsigned long records = progress.count.load();
    double share = inputBytes ? std::min(1.0, static_cast<double>(progress.compressedRead) /
                                                  static_cast<double>(inputBytes))
                              : 0;
    char text[256];
    std::snprintf(text, sizeof text, "%s: %.0f %% of the input, %'lu records at %'.0f a second",
                  libraryName.c_str(), 100 * share, records,
                  seconds > 0 ? static_cast<double>(records) / seconds : 0.0);
    std::string line = text;
    double left = share > 0.01 ? seconds * (1 - share) / share : 0;
    if (left >= 1)
        line += ", about " + durationText(left) + " left";
    return line;
}

// One worker per part, writing <library>.annotated.<first + k>.bam; the counts go to metrics.
void annotate_parts(std::vector<BamPart> parts, size_t first, const std::string& libraryName,
                    const RunParameters& params, ReadAnnotationFiles& files,
                    const std::unordered_set<std::string>& extraReferenceNames,
                    FeatureAssigner& featureAssigner, LibraryMetrics& metrics,
                    ProgressCounter& progress) {
    std::vector<std::string> outputs;
    for (size_t k = 0; k < parts.size(); ++k) {
        outputs.push_back(annotated_bam(libraryName, first + k));
        parts[k].commandLine = params.commandLine;
    }
    std::vector<FeatureCounts> featureCounts(parts.size());
    uint64_t inputBytes = 0;
    for (size_t k = 0; k < parts.size(); ++k)
        if (k == 0 || parts[k].path != parts[k - 1].path)
            inputBytes += static_cast<uint64_t>(fs::file_size(parts[k].path));
    ProgressLine line([&](double seconds) {
        return annotationProgress(libraryName, progress, inputBytes, seconds);
    });
    // The tests' way to make a worker fail as it would when memory runs out.
    bool failFirst = std::getenv(WORKER_FAILURE_VARIABLE) != nullptr;
    runWorkers(
        parts.size(),
        [&](size_t k) {
            if (failFirst && k == 0)
                throw std::bad_alloc();
            annotationMetricsAndCounting(params.assay, outputs[k], parts[k], extraReferenceNames,
                                         metrics, files, progress, featureCounts[k],
                                         featureAssigner, params.excludeIntronicReads,
                                         params.vdjCellCalling);
        },
        files.failures);
}

// Takes back a library's first attempt: its annotated BAMs, its table lines and FASTQ records.
void take_back(const std::string& libraryName, size_t parts, ReadAnnotationFiles& files,
               const ReadAnnotationFiles::Mark& mark) {
    for (size_t k = 0; k < parts; ++k)
        fs::remove(annotated_bam(libraryName, k + 1));
    files.rewind(mark);
}

// The workers and what they share for one library.
struct LibraryWork {
    std::unique_ptr<LibraryMetrics> metrics;
    ProgressCounter progress{PROGRESS_INTERVAL};
};

std::unique_ptr<LibraryWork> new_work(const RunParameters& params) {
    auto work = std::make_unique<LibraryWork>();
    work->metrics = std::make_unique<LibraryMetrics>(
        params.sampleTagsVersion, params.assay, params.umiOption, params.excludeIntronicReads,
        std::vector<std::string>{}, std::vector<std::string>{}, params.vdjVersion);
    return work;
}

// Reads apart (a coordinate-sorted BAM): only the records of reads with several alignments or
// several pieces can be apart, and those are a small part of a library. The workers of the input
// annotate the others and put those in buckets by read name; each bucket is grouped by name in
// memory, a name's records in input order, into T grouped BAMs, which are annotated as parts of
// their own, numbered after the input's: one more pass over the input in all, and a pass over those
// records.
void annotate_with_multi_mapped_grouped(const std::string& bamPath,
                                        const std::vector<int64_t>& cuts,
                                        const std::string& libraryName, const RunParameters& params,
                                        ReadAnnotationFiles& files,
                                        const std::unordered_set<std::string>& extra,
                                        FeatureAssigner& featureAssigner, LibraryWork& work) {
    std::string folder = std::string(FEATURE_COUNTS_TMP_DIR) + "/";
    size_t bucketCount = MultiMappedBuckets::countFor(fs::file_size(bamPath));
    MultiMappedBuckets buckets(folder + MULTI_MAPPED_BUCKETS, bucketCount);
    std::vector<BamPart> parts = partsBetween(bamPath, cuts, &buckets);
    annotate_parts(parts, 1, libraryName, params, files, extra, featureAssigner, *work.metrics,
                   work.progress);
    buckets.close();
    if (files.failures.failed())
        return;
    std::vector<std::string> grouped;
    for (size_t t = 0; t < std::min<size_t>(params.threads, bucketCount); ++t)
        grouped.push_back(folder + MULTI_MAPPED_GROUPED + "." + std::to_string(t) + ".bam");
    std::vector<unsigned long> records;
    {
        HtsFileHandle input(sam_open(bamPath.c_str(), "r"));
        SamHeaderHandle header(input ? sam_hdr_read(input.get()) : nullptr);
        if (!header)
            throw std::runtime_error("Cannot read the BAM header of " + bamPath);
        records = buckets.groupInto(header.get(), grouped);
    }
    std::vector<BamPart> groupedParts;
    for (size_t t = 0; t < grouped.size(); ++t)
        if (records[t] > 0) {
            groupedParts.push_back(partsBetween(grouped[t], {})[0]);
            groupedParts.back().groupedByName = true;
        }
    gLogger.info("Annotating the grouped multi-mapped records in %lu parts",
                 static_cast<unsigned long>(groupedParts.size()));
    annotate_parts(groupedParts, parts.size() + 1, libraryName, params, files, extra,
                   featureAssigner, *work.metrics, work.progress);
}

// What a read of each shape but a whole one is, and what became of it: said once per library
// with the number of such reads, since each is annotated from the records present.
const char* const READ_SHAPE_WARNINGS[READ_SHAPES] = {
    nullptr,
    "have fewer primary and secondary records than their NH tag says. Likely causes: secondary "
    "alignments filtered out (samtools view -F 256), the aligner writing fewer alignments than it "
    "found (STAR --outSAMmultNmax), or a library split across files. Each is annotated from the "
    "records present and counted as not unique, never corrected to one gene",
    "have more primary and secondary records than their NH tag says; each is counted once, with "
    "the records present as its alignments",
    "have supplementary records only, no primary or secondary one; their records are annotated "
    "and written, the reads are not counted",
    "have records of NH 1 apart from their primary record, which was counted where it lies; those "
    "records are annotated and written, not counted again",
};

void warnAboutReadShapes(const ProgressCounter& progress, const std::string& libraryName,
                         const std::string& bamPath) {
    for (size_t shape = 0; shape < READ_SHAPES; ++shape)
        if (READ_SHAPE_WARNINGS[shape] && progress.shapes[shape] > 0)
            gLogger.warning("Library %s (%s): %'lu reads %s", libraryName.c_str(), bamPath.c_str(),
                            progress.shapes[shape].load(), READ_SHAPE_WARNINGS[shape]);
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
    std::vector<int64_t> cuts = readStartCuts(bamPath, params.threads);
    std::vector<BamPart> parts = partsBetween(bamPath, cuts);
    gLogger.info("Annotating %lu parts of about %.1f MB each, read from the input in place",
                 static_cast<unsigned long>(parts.size()),
                 static_cast<double>(fs::file_size(bamPath)) / 1e6 /
                     static_cast<double>(parts.size()));
    gLogger.info("Starting annotation for library: %s", libraryName.c_str());
    ReadAnnotationFiles::Mark mark = files.mark();
    std::unique_ptr<LibraryWork> work = new_work(params);
    annotate_parts(parts, 1, libraryName, params, files, extraReferenceNames, featureAssigner,
                   *work->metrics, work->progress);
    if (work->progress.apart.load() && !files.failures.failed()) {
        gLogger.warning(
            "Read %s in %s has records away from its primary record: the BAM is not grouped by "
            "read name (coordinate-sorted, say). Annotating the library again, the records of "
            "its multi-mapped and chimeric reads grouped by read name, at the cost of one more "
            "pass over the input and one over those records",
            work->progress.readApart.c_str(), bamPath.c_str());
        take_back(libraryName, parts.size(), files, mark);
        work = new_work(params);
        annotate_with_multi_mapped_grouped(bamPath, cuts, libraryName, params, files,
                                           extraReferenceNames, featureAssigner, *work);
    }
    gLogger.info("    Processed and wrote %'lu total annotated bam records to disk",
                 work->progress.count.load());
    gLogger.info("    Total phiX reads identified: %lu", work->metrics->phixReads);
    if (report_worker_failures(files.failures))
        return false;
    warnAboutReadShapes(work->progress, libraryName, bamPath);
    unsigned long reads = 0;
    for (ReadShape counted : {ReadShape::Whole, ReadShape::ShortOfNH, ReadShape::MoreThanNH})
        reads += work->progress.shapes[static_cast<size_t>(counted)].load();
    gLogger.info("Number of reads in BAM file: %'lu (%'lu records)", reads,
                 work->progress.count.load());

    // Record the library.
    metricsList.push_back(*work->metrics);
    libraryNames.push_back(libraryName);
    fs::remove_all(FEATURE_COUNTS_TMP_DIR);
    gLogger.info("Finished annotation for library: %s", libraryName.c_str());
    return true;
}
