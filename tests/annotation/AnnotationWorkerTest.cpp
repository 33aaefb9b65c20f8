// One worker on fragment BAMs that cannot be read. Workers at work, together, are the whole runs of
// the golden test, which also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/Semaphore.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"

// Inputs that cannot be opened, or that end inside the records, fail the run with the file named.
TEST(Worker, UnreadableFragmentsAreRecordedForTheDriver) {
    BuiltModel model(standardGtf(true), "human");
    SamText sam(standardReferences());
    std::vector<std::string> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back(samLine("u" + std::to_string(i) + ";1;ACGTACGT", 0, "chr1", 1011, "40M",
                               "NH:i:1", std::string(40, 'A')));
    sam.writeBam("truncated.bam", many);
    std::string bytes = readFile("truncated.bam");
    writeFile("truncated.bam", bytes.substr(0, bytes.size() / 2));
    writeFile("not-a-bam.bam", "this is not a BAM file\n");
    LibraryMetrics metrics("", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "");
    ReadAnnotationFiles files("run");
    gReadSemaphore = 1;
    gWriteSemaphore = 1;
    const std::pair<const char*, const char*> inputs[] = {
        {"missing.bam", "Failed to open input BAM file: "},
        {"not-a-bam.bam", "not-a-bam.bam"},
        {"truncated.bam", "Unexpected error in input BAM file."}};
    for (const auto& [input, message] : inputs) {
        resetTerminateState();
        FeatureCounts counts;
        ProgressCounter progress;
        testing::internal::CaptureStderr();
        annotationMetricsAndCounting(WTA, "out.bam", input, {}, metrics, files, progress, counts,
                                     *model.model, false, false);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(terminateMessages().size(), 1u) << input;
        EXPECT_NE(terminateMessages()[0].find(message), std::string::npos)
            << terminateMessages()[0];
    }
    resetTerminateState();
}
