// Whole annotation workers on generated fragments: one worker alone, then two at once.
//
//   build/release/bench/worker_bench [--reads N] [--dir DIR] [--workers 1|2|both|share]
//                                    [--repeat K]
//
// Uses DIR/human_scale.gtf (written by feature_bench, or here when missing) with VDJ version
// "human", and writes DIR/fragment_1.bam and DIR/fragment_2.bam once (N reads each, HTSlib's
// default compression, as the real fragments are written at level 1 by the splitter and read
// here). Prints wall time, CPU time and records per second, and the CPU time of the BAM I/O floor
// (the same chunked read, copy, write and free without any annotation) next to one worker's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unordered_set>

#include "DatasetGenerator.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/Semaphore.h"
#include "features/FeatureAssigner.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"
#include "support/Logger.h"

namespace fs = std::filesystem;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double runWorkers(int workers, const std::vector<std::string>& fragments, FeatureAssigner& model,
                  const std::unordered_set<std::string>& extra, size_t recordsPerFragment) {
    LibraryMetrics metrics("hs", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "human");
    ProgressCounter progress;
    EarlyTerminate failures;
    ReadAnnotationFiles files("bench", failures);
    std::vector<FeatureCounts> counts(workers);
    std::vector<std::string> outputs;
    for (int k = 0; k < workers; ++k)
        outputs.push_back("bench.annotated." + std::to_string(k + 1) + ".bam");
    setSemaphore(gReadSemaphore, workers);
    setSemaphore(gWriteSemaphore, workers);
    AssayType assay = WTA;
    auto start = std::chrono::steady_clock::now();
    double cpuStart = cpuSeconds();
    std::vector<BamPart> parts(workers);
    for (int k = 0; k < workers; ++k)
        parts[k].path = fragments[k]; // each fragment whole
    std::vector<std::thread> threads;
    for (int k = 0; k < workers; ++k)
        threads.emplace_back(annotationMetricsAndCounting, std::cref(assay), std::cref(outputs[k]),
                             std::cref(parts[k]), std::cref(extra), std::ref(metrics),
                             std::ref(files), std::ref(progress), std::ref(counts[k]),
                             std::ref(model), false, false);
    for (std::thread& thread : threads)
        thread.join();
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    double cpu = cpuSeconds() - cpuStart;
    size_t records = recordsPerFragment * workers;
    std::printf("%d worker(s): %zu records, wall %.2f s, cpu %.2f s, %.2f M records/s "
                "(%.2f M/s per CPU second); cellular %lu, useful %lu%s\n",
                workers, records, wall.count(), cpu, records / wall.count() / 1e6,
                records / cpu / 1e6, metrics.cellularReads, metrics.usefulReads,
                failures.failed() ? " (FAILED)" : "");
    std::fflush(stdout);
    return cpu;
}

// The BAM I/O floor of a worker: the same chunked read, write (the workers' BamWriter) and
// recycling of records, with no annotation at all.
double copyOnly(const std::string& input, const std::string& output) {
    setSemaphore(gReadSemaphore, 1);
    setSemaphore(gWriteSemaphore, 1);
    double cpuStart = cpuSeconds();
    htsFile* in = hts_open(input.c_str(), "rb");
    BamWriter out;
    sam_hdr_t* header = in ? sam_hdr_read(in) : nullptr;
    if (!header || !out.open(output, header))
        throw std::runtime_error("cannot copy " + input);
    RecordChunk chunk;
    ProgressCounter progress;
    BamPart part;
    part.path = input;
    EarlyTerminate failures;
    PartReader reader(in, header, part, failures);
    bool more = true;
    while (more) {
        more = readAlignedReadsChunk(chunk, reader);
        writeAnnotatedBamRecords(chunk, out, progress, failures);
        recycleRecords(chunk, reader);
    }
    freeRecords(chunk, reader);
    sam_hdr_destroy(header);
    hts_close(in);
    if (!out.close())
        throw std::runtime_error("cannot write " + output);
    return cpuSeconds() - cpuStart;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    size_t reads = 1000000;
    std::string dir = "/tmp/ambrel_bench", which = "both";
    int repeat = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--reads") && i + 1 < argc)
            reads = std::stoul(argv[++i]);
        else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc)
            dir = argv[++i];
        else if (!std::strcmp(argv[i], "--workers") && i + 1 < argc)
            which = argv[++i];
        else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc)
            repeat = std::stoi(argv[++i]);
    }
    fs::create_directories(dir);
    fs::current_path(dir);
    GeneratedAnnotation annotation = generateAnnotation(60000, 20261205);
    std::string gtf = dir + "/human_scale.gtf";
    if (!fs::exists(gtf))
        writeGtf(annotation, gtf);
    std::vector<std::string> fragments;
    size_t records = 0;
    for (int k = 1; k <= 2; ++k) {
        std::string path =
            dir + "/fragment_" + std::to_string(k) + "_" + std::to_string(reads) + ".bam";
        size_t written = 0;
        if (!fs::exists(path))
            written = writeReadsBam(annotation, path, reads, 1000 + k);
        fragments.push_back(path);
        if (written)
            records = written;
    }
    if (!records) { // count the records of an existing fragment
        htsFile* in = hts_open(fragments[0].c_str(), "r");
        sam_hdr_t* header = sam_hdr_read(in);
        bam1_t* record = bam_init1();
        while (sam_read1(in, header, record) >= 0)
            ++records;
        bam_destroy1(record);
        sam_hdr_destroy(header);
        hts_close(in);
    }
    Logger quiet("bench", Logger::ERROR);
    FeatureAssigner model(gtf, "human", quiet);
    std::unordered_set<std::string> extra;
    for (const std::string& name : extraReferenceNamesOf())
        extra.insert(name);
    std::printf("fragments of %zu reads, %zu records each\n", reads, records);
    // Alternate the runs so that the machine's drift hits every kind alike; report medians.
    std::vector<double> floor, one, two;
    for (int r = 0; r < repeat; ++r) {
        if (which == "1" || which == "both" || which == "share") {
            floor.push_back(copyOnly(fragments[0], "bench.copy.bam"));
            std::printf("BAM copy floor: cpu %.2f s\n", floor.back());
            std::fflush(stdout);
            one.push_back(runWorkers(1, fragments, model, extra, records));
        }
        if (which == "2" || which == "both")
            two.push_back(runWorkers(2, fragments, model, extra, records));
    }
    if (!one.empty())
        std::printf("median cpu: copy floor %.2f s, one worker %.2f s: annotation is %.1f%% of a "
                    "worker's CPU time\n",
                    median(floor), median(one), 100.0 * (1.0 - median(floor) / median(one)));
    return 0;
}
