// Whole workers, several at once, on fragment BAMs written by the test.
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

#include "TestSupport.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/Semaphore.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"
#include "support/Logger.h"

namespace {

// A fragment of reads: the i-th read's kind cycles through unique exon, intron, antisense,
// intergenic, unmapped, sample tag, VDJ and a multi-mapped read of three records; every eleventh
// read has a 3-base UMI. partialLastGroup drops the last record of the last read.
std::vector<std::string> fragmentLines(int index, size_t reads, bool partialLastGroup = false) {
    static const struct {
        int flag;
        const char* reference;
        long pos;
    } KINDS[] = {{0, "chr1", 1011}, {0, "chr1", 1201},   {0, "chr1", 5011}, {16, "chr1", 8001},
                 {4, "*", 0},       {0, "Tag1stAbO", 1}, {0, "chr14", 7011}};
    std::vector<std::string> lines;
    for (size_t i = 0; i < reads; ++i) {
        std::string name = "f" + std::to_string(index) + "r" + std::to_string(i) + ";" +
                           std::to_string(100 + i % 50) + ";" + (i % 11 ? "ACGTACGT" : "ACG");
        std::string seq(40, 'A');
        for (size_t k = 0; k < seq.size(); ++k)
            seq[k] = "ACGT"[(i + k * 3) % 4];
        std::string qual(40, 'I');
        size_t kind = i % 8;
        if (kind < 7) {
            lines.push_back(samLine(name, KINDS[kind].flag, KINDS[kind].reference, KINDS[kind].pos,
                                    kind == 4 ? "*" : "40M", "NH:i:1", seq, qual));
            continue;
        }
        lines.push_back(samLine(name, 0, "chr1", 1021, "40M", "NH:i:3", seq, qual));
        lines.push_back(samLine(name, 256, "chr1", 50001, "40M", "NH:i:3"));
        if (!(partialLastGroup && i + 1 == reads))
            lines.push_back(samLine(name, 256, "chr1", 1031, "40M", "NH:i:3"));
    }
    return lines;
}

class Workers : public testing::Test {
protected:
    Workers() : sam(standardReferences()) {
        resetTerminateState();
        writeFile(dir.file("genes.gtf"), standardGtf(true));
        Logger quiet("T", Logger::NONE);
        model = std::make_unique<FeatureAssigner>(dir.file("genes.gtf"), "human", quiet);
        gReadSemaphore = 2;
        gWriteSemaphore = 2;
    }
    ~Workers() override { resetTerminateState(); }

    // One worker per fragment, all at once; returns their log.
    std::string run(const std::vector<std::vector<std::string>>& fragments,
                    const std::string& sampleTags = "hs", const std::string& vdj = "human") {
        std::vector<std::string> inputs;
        for (size_t k = 0; k < fragments.size(); ++k) {
            inputs.push_back(dir.file("fragment" + std::to_string(k) + ".bam"));
            outputs.push_back(dir.file("lib.annotated." + std::to_string(k + 1) + ".bam"));
            sam.writeBam(inputs.back(), fragments[k]);
        }
        metrics = std::make_unique<LibraryMetrics>(sampleTags, WTA, ABSEQ_UMI_ONLY, false,
                                                   std::vector<std::string>{},
                                                   std::vector<std::string>{}, vdj);
        std::vector<FeatureCounts> counts(inputs.size());
        AssayType assay = WTA;
        return captureStderr([&] {
            ReadAnnotationFiles files("run");
            std::vector<std::thread> threads;
            for (size_t k = 0; k < inputs.size(); ++k)
                threads.emplace_back(annotationMetricsAndCounting, std::cref(assay),
                                     std::cref(outputs[k]), std::cref(inputs[k]), std::cref(extra),
                                     std::ref(*metrics), std::ref(files), std::ref(progress),
                                     std::ref(counts[k]), std::ref(*model), false, false);
            for (std::thread& thread : threads)
                thread.join();
            files.closeVdjFastqFiles();
        });
    }

    ScratchDir dir;
    SamText sam;
    std::unique_ptr<FeatureAssigner> model;
    std::unique_ptr<LibraryMetrics> metrics;
    ProgressCounter progress{500};
    std::unordered_set<std::string> extra = {"Tag1stAbO"};
    std::vector<std::string> outputs;
};

} // namespace

TEST_F(Workers, SeveralFragmentsAtOnceWriteEveryRecordOnce) {
    // 1000 reads cross two chunk boundaries; multi-mapped reads land on them, one of them cut
    // short; one fragment is empty.
    std::vector<std::vector<std::string>> fragments = {
        fragmentLines(0, 1000), fragmentLines(1, 1007, true), {}};
    std::string log = run(fragments);
    ASSERT_FALSE(TERMINATE_STATE.failed()) << terminateMessages()[0];
    size_t records = 0;
    for (size_t k = 0; k < fragments.size(); ++k) {
        std::vector<std::string> written = readBamAsSam(outputs[k]);
        ASSERT_EQ(written.size(), fragments[k].size()) << outputs[k];
        for (size_t r = 0; r < written.size(); ++r) {
            // "name;cell;UMI" leaves "name" with the cell in CB and the UMI in MR.
            std::vector<std::string> name = strSplit(words(fragments[k][r])[0], ';');
            EXPECT_EQ(written[r].substr(0, written[r].find('\t')), name[0]);
            EXPECT_NE(written[r].find("\tXF:Z:"), std::string::npos) << written[r];
            EXPECT_NE(written[r].find("\tCB:Z:" + name[1] + "\tMR:Z:" + name[2]), std::string::npos)
                << written[r];
        }
        records += written.size();
    }
    EXPECT_EQ(progress.count.load(), records);
    EXPECT_NE(log.find("Processed and wrote"), std::string::npos);

    // Every eleventh read has a 3-base UMI and is not cellular.
    size_t cellular = 0;
    for (size_t reads : {1000, 1007})
        for (size_t i = 0; i < reads; ++i)
            cellular += i % 11 != 0;
    EXPECT_EQ(metrics->cellularReads.load(), cellular);
    unsigned long categorised = 0;
    for (const auto& entry : metrics->categoryCounts)
        categorised += entry.second;
    EXPECT_EQ(categorised, cellular);

    // One valid-reads line per counted mRNA read; sample tags in their own file; VDJ as FASTQ.
    size_t lines = 0;
    for (int p = 0; p < 32; ++p)
        lines += splitLines(readFile("run_Sorted_Valid_Reads.csv." + std::to_string(p))).size();
    size_t tagLines = splitLines(readFile("run_SampleTag_Sorted_Valid_Reads.csv.0")).size();
    EXPECT_EQ(tagLines, metrics->usefulSampleTagReads.load());
    EXPECT_EQ(lines + tagLines + metrics->usefulVdjReads.load(), metrics->usefulReads.load());
    EXPECT_GT(metrics->usefulVdjTcrReads.load(), 0u);
    EXPECT_EQ(splitLines(gunzip("run_VDJ_TCR_Valid_Reads.fastq.gz")).size(),
              4 * metrics->usefulVdjTcrReads.load());
    EXPECT_FALSE(std::filesystem::exists("run_VDJ_BCR_Valid_Reads.fastq.gz"));
}

// Inputs that cannot be opened, or that end inside the records, fail the run with the file named.
TEST_F(Workers, UnreadableFragmentsAreRecordedForTheDriver) {
    std::vector<std::string> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back(samLine("u" + std::to_string(i) + ";1;ACGTACGT", 0, "chr1", 1011, "40M",
                               "NH:i:1", std::string(40, 'A')));
    sam.writeBam(dir.file("truncated.bam"), many);
    std::string bytes = readFile(dir.file("truncated.bam"));
    writeFile(dir.file("truncated.bam"), bytes.substr(0, bytes.size() / 2));
    writeFile(dir.file("not-a-bam.bam"), "this is not a BAM file\n");
    run({}); // the metrics
    ReadAnnotationFiles files("run2");
    FeatureCounts counts;
    const std::pair<const char*, const char*> inputs[] = {
        {"missing.bam", "Failed to open input BAM file: "},
        {"not-a-bam.bam", "not-a-bam.bam"},
        {"truncated.bam", "Unexpected error in input BAM file."}};
    for (const auto& [input, message] : inputs) {
        resetTerminateState();
        captureStderr([&] {
            annotationMetricsAndCounting(WTA, dir.file("out.bam"), dir.file(input), extra, *metrics,
                                         files, progress, counts, *model, false, false);
        });
        ASSERT_EQ(terminateMessages().size(), 1u) << input;
        EXPECT_NE(terminateMessages()[0].find(message), std::string::npos)
            << terminateMessages()[0];
    }
}
