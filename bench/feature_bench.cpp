// Gene-model benchmark: loads a human-scale GTF (generated once, deterministically) and measures
// load time, throughput and memory, then assignFeature throughput on a realistic record mix.
//
//   build/release/bench/feature_bench [--gtf PATH] [--genes N] [--vdj VERSION] [--records N]
//                                     [--uniform] [benchmark flags]
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "DatasetGenerator.h"
#include "features/FeatureAssigner.h"
#include "support/Logger.h"

namespace {

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    return -1;
}

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Fixture {
    GeneratedAnnotation annotation;
    std::unique_ptr<FeatureAssigner> model;
    sam_hdr_t* header = nullptr;
    std::vector<bam1_t*> records;
};
Fixture gFixture;

void BM_AssignFeature(benchmark::State& state) {
    FeatureCounts counts;
    size_t n = gFixture.records.size();
    // Each thread walks its own stride so records are never shared between threads.
    size_t i = static_cast<size_t>(state.thread_index()) * (n / state.threads());
    for (auto _ : state) {
        gFixture.model->assignFeature(counts, gFixture.records[i], gFixture.header);
        if (++i == n)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    benchmark::DoNotOptimize(counts);
}

} // namespace

int main(int argc, char** argv) {
    std::string gtfPath = "/tmp/ambrel_bench/human_scale.gtf";
    std::string vdjVersion;
    unsigned long genes = 60000;
    size_t recordCount = 1000000;
    bool uniform = false;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--gtf") && i + 1 < argc)
            gtfPath = argv[++i];
        else if (!std::strcmp(argv[i], "--genes") && i + 1 < argc)
            genes = std::stoul(argv[++i]);
        else if (!std::strcmp(argv[i], "--vdj") && i + 1 < argc)
            vdjVersion = argv[++i];
        else if (!std::strcmp(argv[i], "--uniform"))
            uniform = true;
        else if (!std::strcmp(argv[i], "--records") && i + 1 < argc)
            recordCount = std::stoul(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    gFixture.annotation = generateAnnotation(genes, 20261205);
    if (!std::filesystem::exists(gtfPath)) {
        std::filesystem::create_directories(std::filesystem::path(gtfPath).parent_path());
        auto start = std::chrono::steady_clock::now();
        unsigned long bytes = writeGtf(gFixture.annotation, gtfPath);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("generated %s: %.1f MB in %.1f s\n", gtfPath.c_str(), bytes / 1e6,
                    took.count());
    }
    double sizeMB = std::filesystem::file_size(gtfPath) / 1e6;

    // The gene-information JSON goes to the working directory: keep it out of the caller's.
    std::filesystem::path jsonDir = std::filesystem::path(gtfPath).parent_path();
    std::filesystem::current_path(jsonDir);
    long rssBefore = statusKiB("VmRSS:");
    Logger quiet("bench", Logger::WARNING);
    auto wallStart = std::chrono::steady_clock::now();
    double cpuStart = cpuSeconds();
    gFixture.model = std::make_unique<FeatureAssigner>(gtfPath, vdjVersion, quiet);
    gFixture.model->writeGeneInfoJson(quiet);
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    double cpu = cpuSeconds() - cpuStart;
    long rssAfter = statusKiB("VmRSS:");
    long peak = statusKiB("VmHWM:");
    std::printf("GTF load: %.1f MB, %zu chromosomes, wall %.2f s, cpu %.2f s, %.0f MB/s\n", sizeMB,
                gFixture.model->chromosomes().size(), wall.count(), cpu, sizeMB / wall.count());
    std::printf("model memory: RSS +%.0f MB after load (peak RSS during load %.0f MB)\n",
                (rssAfter - rssBefore) / 1024.0, peak / 1024.0);

    std::string headerText = samHeaderText(gFixture.annotation);
    gFixture.header = sam_hdr_parse(headerText.size(), headerText.c_str());
    gFixture.records =
        generateAlignedRecords(gFixture.annotation, gFixture.header, recordCount, 7, uniform);
    FeatureCounts mix;
    for (bam1_t* record : gFixture.records)
        gFixture.model->assignFeature(mix, record, gFixture.header);
    unsigned long exons = recordCount - mix.noFeature - mix.ambiguous - mix.notAligned -
                          mix.introns - mix.antisenseExons - mix.antisenseIntrons - mix.intergenic;
    std::printf("record mix of %zu (%s expression): exon %lu, ambiguous %lu, intron %lu, antisense "
                "exon %lu, "
                "antisense intron %lu, intergenic %lu, no feature %lu, not aligned %lu\n",
                recordCount, uniform ? "uniform" : "Zipf", exons, mix.ambiguous, mix.introns,
                mix.antisenseExons, mix.antisenseIntrons, mix.intergenic, mix.noFeature,
                mix.notAligned);
    std::fflush(stdout);

    benchmark::RegisterBenchmark("BM_AssignFeature", BM_AssignFeature)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (bam1_t* record : gFixture.records)
        bam_destroy1(record);
    sam_hdr_destroy(gFixture.header);
    return 0;
}
