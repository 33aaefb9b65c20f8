// One worker on a fragment BAM written by the test. Workers at work together are the whole runs of
// the golden test, which also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/Semaphore.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"

namespace {

class Worker : public testing::Test {
protected:
    Worker()
        : sam(standardReferences()), model(standardGtf(true), "human"),
          metrics("", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "") {
        resetTerminateState();
        gReadSemaphore = 1;
        gWriteSemaphore = 1;
    }
    ~Worker() override { resetTerminateState(); }

    // Annotates the BAM `input` (a file of the scratch directory) into out.bam; returns the
    // progress count of records written.
    unsigned long annotate(const std::string& input) {
        ReadAnnotationFiles files("run");
        FeatureCounts counts;
        ProgressCounter progress;
        testing::internal::CaptureStderr();
        annotationMetricsAndCounting(WTA, dir.file("out.bam"), dir.file(input), {}, metrics, files,
                                     progress, counts, *model.model, false, false);
        testing::internal::GetCapturedStderr();
        return progress.count.load();
    }

    ScratchDir dir;
    SamText sam;
    BuiltModel model;
    LibraryMetrics metrics;
};

} // namespace

// 447 unique reads fill the first chunk exactly; a multi-mapped read follows, two of its three
// alignments on A: it is corrected to A and counted once.
TEST_F(Worker, MultiMappedGroupsStayWholeAcrossChunks) {
    std::vector<std::string> lines;
    for (int i = 0; i < 447; ++i)
        lines.push_back(samLine("u" + std::to_string(i) + ";1;ACGTACGT", 0, "chr1", 1011, "40M"));
    for (int k = 0; k < 3; ++k)
        lines.push_back(
            samLine("m;2;ACGTACGT", k ? 256 : 0, "chr1", k == 1 ? 50001 : 1021, "40M", "NH:i:3"));
    sam.writeBam(dir.file("in.bam"), lines);
    EXPECT_EQ(annotate("in.bam"), 450u);
    ASSERT_FALSE(TERMINATE_STATE.failed()) << terminateMessages()[0];
    EXPECT_EQ(metrics.categoryCounts.at("Mapped_to_Genes_mRNA"), 448u);
    EXPECT_EQ(metrics.categoryCounts.at("Not_Unique"), 0u);
    std::vector<std::string> written = readBamAsSam(dir.file("out.bam"));
    ASSERT_EQ(written.size(), 450u);
    EXPECT_EQ(written.back().substr(0, 2), "m\t");
}

// Inputs that cannot be opened, or that end inside the records, fail the run with the file named.
TEST_F(Worker, UnreadableFragmentsAreRecordedForTheDriver) {
    std::vector<std::string> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back(samLine("u" + std::to_string(i) + ";1;ACGTACGT", 0, "chr1", 1011, "40M",
                               "NH:i:1", std::string(40, 'A')));
    sam.writeBam(dir.file("truncated.bam"), many);
    std::string bytes = readFile(dir.file("truncated.bam"));
    writeFile(dir.file("truncated.bam"), bytes.substr(0, bytes.size() / 2));
    writeFile(dir.file("not-a-bam.bam"), "this is not a BAM file\n");
    const std::pair<const char*, const char*> inputs[] = {
        {"missing.bam", "Failed to open input BAM file: "},
        {"not-a-bam.bam", "not-a-bam.bam"},
        {"truncated.bam", "Unexpected error in input BAM file."}};
    for (const auto& [input, message] : inputs) {
        resetTerminateState();
        annotate(input);
        ASSERT_EQ(terminateMessages().size(), 1u) << input;
        EXPECT_NE(terminateMessages()[0].find(message), std::string::npos)
            << terminateMessages()[0];
    }
}
