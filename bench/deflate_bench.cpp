// The deflaters of the annotated BAMs: HTSlib's (libdeflate at level 1) against the workers' own
// (igzip at level 1), on BGZF-sized blocks of a real BAM stream, with the ratio each reaches.
//
//   build/release/bench/deflate_bench [--bam PATH] [benchmark flags]
//   (default PATH: the whole-run benchmark's 2M-read BAM, made by bench/whole_run_bench.sh)
#include <benchmark/benchmark.h>
#include <cstring>
#include <htslib/bgzf.h>
#include <libdeflate.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/FastDeflate.h"

namespace {

constexpr size_t BLOCK = 0xff00;
std::string gBam = "/tmp/ambrel_bench/e2e/Bench_Lib1_Aligned.out.bam";

// The first 256 MiB of the BAM stream, decompressed once.
const std::vector<char>& stream() {
    static std::vector<char> bytes = [] {
        std::vector<char> text(256 << 20);
        BGZF* in = bgzf_open(gBam.c_str(), "r");
        ssize_t got = in ? bgzf_read(in, text.data(), text.size()) : -1;
        if (!in || got <= 0 || bgzf_close(in) != 0)
            throw std::runtime_error("cannot read " + gBam);
        text.resize(got);
        return text;
    }();
    return bytes;
}

template <class Deflate> void deflateBlocks(benchmark::State& state, Deflate deflate) {
    const std::vector<char>& text = stream();
    std::vector<char> out(0x10000);
    size_t packed = 0;
    for (auto _ : state) {
        packed = 0;
        for (size_t at = 0; at < text.size(); at += BLOCK) {
            size_t length = std::min(BLOCK, text.size() - at);
            packed += deflate(text.data() + at, length, out.data(), out.size());
            benchmark::DoNotOptimize(gzipCrc32(text.data() + at, length));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["ratio"] = static_cast<double>(packed) / text.size();
}

void BM_LibdeflateLevel1(benchmark::State& state) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
    deflateBlocks(state, [compressor](const char* in, size_t length, char* out, size_t room) {
        return libdeflate_deflate_compress(compressor, in, length, out, room);
    });
    libdeflate_free_compressor(compressor);
}

void BM_IgzipLevel1(benchmark::State& state) {
    FastDeflater deflater;
    deflateBlocks(state, [&deflater](const char* in, size_t length, char* out, size_t room) {
        return deflater.deflate(in, length, out, room);
    });
}

BENCHMARK(BM_LibdeflateLevel1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IgzipLevel1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (!std::strcmp(argv[i], "--bam")) {
            gBam = argv[i + 1];
            std::memmove(argv + i, argv + i + 2, (argc - i - 2) * sizeof *argv);
            argc -= 2;
            break;
        }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
