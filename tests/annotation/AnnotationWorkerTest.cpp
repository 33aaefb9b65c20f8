// Whole workers, several at once, on fragment BAMs written by the test.
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <thread>

#include "TestSupport.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/BamRecord.h"
#include "annotation/Semaphore.h"
#include "driver/EarlyTerminate.h"
#include "features/FeatureAssigner.h"
#include "features/FeatureTestSupport.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"

namespace {

const std::vector<std::string> REFERENCES = {"chr1:100000", "chr7:100000", "Tag1stAbO:200"};

std::string workerGtf() {
    return gtfLine("chr1", "gene", 1001, 5000, '+', geneAttributes("G1", "GENEA")) +
           gtfLine("chr1", "exon", 1001, 2000, '+', geneAttributes("G1", "GENEA")) +
           gtfLine("chr1", "gene", 10001, 15000, '-', geneAttributes("G2", "GENEB")) +
           gtfLine("chr1", "exon", 10001, 11000, '-', geneAttributes("G2", "GENEB")) +
           gtfLine("chr7", "gene", 1001, 3000, '+', geneAttributes("T1", "TRAV1", "TR_V_gene")) +
           gtfLine("chr7", "exon", 1001, 3000, '+', geneAttributes("T1", "TRAV1", "TR_V_gene"));
}

// A fragment of reads: the i-th read's kind cycles through unique exon, intron, antisense,
// intergenic, unmapped, sample tag, VDJ and a multi-mapped read of three records.
struct Fragment {
    std::vector<bam1_t*> records;
    size_t reads = 0;
};

Fragment makeFragment(SamText& sam, int index, size_t reads, bool partialLastGroup = false) {
    Fragment fragment;
    for (size_t i = 0; i < reads; ++i) {
        std::string name = "f" + std::to_string(index) + "r" + std::to_string(i) + ";" +
                           std::to_string(100 + i % 50) + ";" + (i % 11 ? "ACGTACGT" : "ACG");
        std::string seq(40, 'A');
        for (size_t k = 0; k < seq.size(); ++k)
            seq[k] = "ACGT"[(i + k * 3) % 4];
        std::string tail = "\t" + seq + "\t" + std::string(40, 'I');
        // flag, reference and position of each kind of read; kind 7 is multi-mapped.
        static const char* const KINDS[][3] = {
            {"0", "chr1", "1101"},   // exon of GENEA
            {"0", "chr1", "3001"},   // intron of GENEA
            {"0", "chr1", "10101"},  // antisense to GENEB
            {"16", "chr1", "50001"}, // intergenic
            {"4", "*", "0"},         // unmapped
            {"0", "Tag1stAbO", "1"}, // sample tag
            {"0", "chr7", "1101"},   // TRAV1
        };
        size_t kind = i % 8;
        if (kind < 7) {
            const char* const* k = KINDS[kind];
            std::string cigar = kind == 4 ? "*" : "40M";
            fragment.records.push_back(sam.record(name + "\t" + k[0] + "\t" + k[1] + "\t" + k[2] +
                                                  "\t255\t" + cigar + "\t*\t0\t0" + tail +
                                                  "\tNH:i:1"));
            continue;
        }
        bool partial = partialLastGroup && i + 1 == reads;
        fragment.records.push_back(
            sam.record(name + "\t0\tchr1\t1201\t255\t40M\t*\t0\t0" + tail + "\tNH:i:3"));
        fragment.records.push_back(
            sam.record(name + "\t256\tchr1\t50001\t255\t40M\t*\t0\t0\t*\t*\tNH:i:3"));
        if (!partial)
            fragment.records.push_back(
                sam.record(name + "\t256\tchr1\t1301\t255\t40M\t*\t0\t0\t*\t*\tNH:i:3"));
    }
    fragment.reads = reads;
    return fragment;
}

class Workers : public testing::Test {
protected:
    Workers() : sam(REFERENCES) {
        resetTerminateState();
        writeFile(dir.file("genes.gtf"), workerGtf());
        Logger quiet("T", Logger::NONE);
        model = std::make_unique<FeatureAssigner>(dir.file("genes.gtf"), "human", quiet);
        gReadSemaphore = 2;
        gWriteSemaphore = 2;
    }
    ~Workers() override { resetTerminateState(); }

    void run(const std::vector<std::string>& inputs, LibraryMetrics& metrics,
             ReadAnnotationFiles& files, ProgressCounter& progress, bool cellCalling = false) {
        std::vector<FeatureCounts> counts(inputs.size());
        std::vector<std::thread> threads;
        AssayType assay = WTA;
        outputs.clear();
        for (size_t k = 0; k < inputs.size(); ++k)
            outputs.push_back(dir.file("lib.annotated." + std::to_string(k + 1) + ".bam"));
        for (size_t k = 0; k < inputs.size(); ++k)
            threads.emplace_back(annotationMetricsAndCounting, std::cref(assay),
                                 std::cref(outputs[k]), std::cref(inputs[k]), std::cref(extra),
                                 std::ref(metrics), std::ref(files), std::ref(progress),
                                 std::ref(counts[k]), std::ref(*model), false, cellCalling);
        for (std::thread& thread : threads)
            thread.join();
        featureCounts = counts;
    }

    // Runs one worker per input in a run without VDJ or sample tags; the files are closed after.
    std::unique_ptr<LibraryMetrics> runPlain(const std::vector<std::string>& inputs) {
        auto metrics = std::make_unique<LibraryMetrics>("", WTA, ABSEQ_UMI_ONLY, false,
                                                        std::vector<std::string>{},
                                                        std::vector<std::string>{}, "");
        ProgressCounter progress;
        {
            ReadAnnotationFiles files("run");
            log = captureStderr([&] { run(inputs, *metrics, files, progress); });
        }
        progressCount = progress.count.load();
        return metrics;
    }

    ScratchDir dir;
    SamText sam;
    std::string log;
    unsigned long progressCount = 0;
    std::unique_ptr<FeatureAssigner> model;
    std::unordered_set<std::string> extra = {"Tag1stAbO"};
    std::vector<std::string> outputs;
    std::vector<FeatureCounts> featureCounts;
};

} // namespace

TEST_F(Workers, SeveralFragmentsAtOnceWriteEveryRecordOnce) {
    std::vector<std::string> inputs;
    std::vector<Fragment> fragments;
    // 1000 reads cross two chunk boundaries; the multi-mapped reads land on them too.
    for (int k = 0; k < 3; ++k) {
        fragments.push_back(makeFragment(sam, k, k == 2 ? 0 : 1000 + 7 * k, k == 1));
        inputs.push_back(dir.file("fragment" + std::to_string(k) + ".bam"));
        writeBam(inputs.back(), sam, fragments.back().records);
    }
    LibraryMetrics metrics("hs", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "human");
    ProgressCounter progress(500);
    std::string log;
    {
        ReadAnnotationFiles files("run");
        log = captureStderr([&] { run(inputs, metrics, files, progress); });
        files.closeVdjFastqFiles();
    }
    EXPECT_FALSE(TERMINATE_STATE.failed())
        << (terminateMessages().empty() ? "" : terminateMessages()[0]);

    size_t totalRecords = 0, totalReads = 0;
    for (size_t k = 0; k < inputs.size(); ++k) {
        std::vector<std::string> written = readBamAsSam(outputs[k]);
        ASSERT_EQ(written.size(), fragments[k].records.size()) << outputs[k];
        for (size_t r = 0; r < written.size(); ++r) {
            const bam1_t* original = fragments[k].records[r];
            std::string name = bam_get_qname(original);
            std::string stripped = name.substr(0, name.find(';'));
            ASSERT_EQ(written[r].substr(0, written[r].find('\t')), stripped);
            EXPECT_NE(written[r].find("\tXF:Z:"), std::string::npos) << written[r];
            // The cell index left the name for the CB tag; the UMI went to MR.
            std::string cell = name.substr(name.find(';') + 1);
            std::string umi = cell.substr(cell.find(';') + 1);
            cell = cell.substr(0, cell.find(';'));
            EXPECT_NE(written[r].find("\tCB:Z:" + cell + "\t"), std::string::npos) << written[r];
            EXPECT_NE(written[r].find("\tMR:Z:" + umi), std::string::npos) << written[r];
        }
        totalRecords += written.size();
        totalReads += fragments[k].reads;
    }
    EXPECT_EQ(progress.count.load(), totalRecords);
    // Progress is logged once per multiple of the interval crossed by a chunk.
    EXPECT_NE(log.find("Processed and wrote"), std::string::npos);

    unsigned long categorised = 0;
    for (const auto& entry : metrics.categoryCounts)
        categorised += entry.second;
    EXPECT_EQ(categorised, metrics.cellularReads.load());
    // Every eleventh read has a 3-base UMI and is not cellular.
    size_t cellular = 0;
    for (size_t k = 0; k < 2; ++k)
        for (size_t i = 0; i < fragments[k].reads; ++i)
            cellular += i % 11 != 0;
    EXPECT_EQ(metrics.cellularReads.load(), cellular);

    // One valid-reads line per counted mRNA read; sample tags in their own file; VDJ as FASTQ.
    size_t lines = 0;
    for (int p = 0; p < 32; ++p)
        lines += splitLines(readFile("run_Sorted_Valid_Reads.csv." + std::to_string(p))).size();
    size_t tagLines = splitLines(readFile("run_SampleTag_Sorted_Valid_Reads.csv.0")).size();
    EXPECT_EQ(tagLines, metrics.usefulSampleTagReads.load());
    EXPECT_EQ(lines + tagLines + metrics.usefulVdjReads.load(), metrics.usefulReads.load());
    ProcessResult fastq = runProcess({"gzip", "-dc", dir.file("run_VDJ_TCR_Valid_Reads.fastq.gz")});
    ASSERT_EQ(fastq.status, 0) << fastq.err;
    EXPECT_EQ(splitLines(fastq.out).size(), 4 * metrics.usefulVdjTcrReads.load());
    EXPECT_GT(metrics.usefulVdjTcrReads.load(), 0u);
    EXPECT_FALSE(std::filesystem::exists("run_VDJ_BCR_Valid_Reads.fastq.gz"));

    FeatureCounts sum;
    for (const FeatureCounts& c : featureCounts) {
        sum.notAligned += c.notAligned;
        sum.intergenic += c.intergenic;
    }
    EXPECT_GT(sum.notAligned, 0u);
    EXPECT_GT(sum.intergenic, 0u);
    EXPECT_EQ(totalReads, 2007u);
}

TEST_F(Workers, MultiMappedGroupsStayWholeAcrossChunks) {
    // 447 unique reads fill the first chunk exactly; a multi-mapped read follows.
    std::vector<bam1_t*> records;
    for (int i = 0; i < 447; ++i)
        records.push_back(
            sam.record("u" + std::to_string(i) +
                       ";1;ACGTACGT\t0\tchr1\t1101\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1"));
    for (int k = 0; k < 3; ++k)
        records.push_back(sam.record(std::string("m;2;ACGTACGT\t") + (k ? "256" : "0") +
                                     "\tchr1\t" + (k == 1 ? "50001" : "1201") +
                                     "\t255\t40M\t*\t0\t0\t*\t*\tNH:i:3"));
    std::string input = dir.file("fragment.bam");
    writeBam(input, sam, records);
    std::unique_ptr<LibraryMetrics> metrics = runPlain({input});
    // Two of three alignments are on GENEA: corrected to GENEA and counted once.
    EXPECT_EQ(metrics->categoryCounts.at("Mapped_to_Genes_mRNA"), 448u);
    EXPECT_EQ(metrics->categoryCounts.at("Not_Unique"), 0u);
    std::vector<std::string> written = readBamAsSam(outputs[0]);
    ASSERT_EQ(written.size(), 450u);
    EXPECT_EQ(written.back().substr(0, 2), "m\t");
}

TEST_F(Workers, MalformedNamesFailTheRunButRecordsAreWritten) {
    std::vector<bam1_t*> records = {
        sam.record("good;1;ACGTACGT\t0\tchr1\t1101\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1"),
        sam.record("bad\t0\tchr1\t1101\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1")};
    std::string input = dir.file("fragment.bam");
    writeBam(input, sam, records);
    std::unique_ptr<LibraryMetrics> metrics = runPlain({input});
    EXPECT_TRUE(TERMINATE_STATE.failed());
    EXPECT_EQ(terminateMessages(),
              std::vector<std::string>{"No semicolons present in QName: bad. Cannot parse Cell "
                                       "Label and UMI information !"});
    std::vector<std::string> written = readBamAsSam(outputs[0]);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1].substr(0, 4), "bad\t");
}

TEST_F(Workers, UnreadableInputsFailWithoutReading) {
    writeFile(dir.file("not-a-bam.bam"), "this is not a BAM file\n");
    std::unique_ptr<LibraryMetrics> metrics =
        runPlain({dir.file("missing.bam"), dir.file("not-a-bam.bam")});
    std::vector<std::string> messages = terminateMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find("annotationMetricsAndCounting: Failed to"), std::string::npos);
    std::string both = messages[0] + messages[1];
    EXPECT_NE(both.find("missing.bam"), std::string::npos);
    EXPECT_NE(both.find("not-a-bam.bam"), std::string::npos);
    EXPECT_EQ(progressCount, 0u);
}

TEST_F(Workers, TruncatedInputIsAnError) {
    std::vector<bam1_t*> records;
    for (int i = 0; i < 3000; ++i)
        records.push_back(sam.record("u" + std::to_string(i) +
                                     ";1;ACGTACGT\t0\tchr1\t1101\t255\t40M\t*\t0\t0\t" +
                                     std::string(40, 'A') + "\t*\tNH:i:1"));
    std::string input = dir.file("fragment.bam");
    writeBam(input, sam, records);
    std::string bytes = readFile(input);
    writeFile(input, bytes.substr(0, bytes.size() / 2));
    std::unique_ptr<LibraryMetrics> metrics = runPlain({input});
    EXPECT_TRUE(TERMINATE_STATE.failed());
    EXPECT_EQ(terminateMessages(), std::vector<std::string>{"Unexpected error in input BAM file."});
}

TEST_F(Workers, HeaderOnlyFragmentGivesHeaderOnlyOutput) {
    std::string input = dir.file("empty.bam");
    writeBam(input, sam, {});
    std::unique_ptr<LibraryMetrics> metrics = runPlain({input});
    EXPECT_FALSE(TERMINATE_STATE.failed());
    EXPECT_TRUE(readBamAsSam(outputs[0]).empty());
    EXPECT_FALSE(std::filesystem::exists("run_VDJ_TCR_Valid_Reads.fastq.gz"));
}
