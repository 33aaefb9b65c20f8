// Workers on parts of one BAM, read where they lie. Workers at work, together, are the whole runs
// of the golden test, which also run under ThreadSanitizer; damaged inputs are in the failure table
// of the whole run.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/Semaphore.h"
#include "driver/LibraryAnnotation.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"

namespace {

// The first field (read name) of each SAM line.
std::vector<std::string> names(const std::vector<std::string>& lines) {
    std::vector<std::string> result;
    for (const std::string& line : lines)
        result.push_back(line.substr(0, line.find('\t')));
    return result;
}

} // namespace

// Parts cut anywhere (one part, a few, one per record) and reached from boundaries noted every 50
// records hold every record once, in input order, and never split a read of three records: cuts
// that fall inside one give parts with no read. The records span many compressed blocks.
TEST(Worker, PartsHoldEveryRecordOnceAndKeepReadsWhole) {
    BuiltModel model(standardGtf(true), "human");
    LibraryMetrics metrics("", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "");
    ReadAnnotationFiles files("run");
    gReadSemaphore = 1;
    gWriteSemaphore = 1;
    SamText sam(standardReferences());
    std::vector<std::string> lines;
    for (int i = 0; lines.size() < 900; ++i) {
        int nh = i % 5 == 2 ? 3 : 1;
        for (int k = 0; k < nh; ++k)
            lines.push_back(samLine("r" + std::to_string(i) + ";1;ACGTACGT", k ? 256 : 0, "chr1",
                                    1011 + k, "200M", "NH:i:" + std::to_string(nh),
                                    std::string(200, "ACGT"[i % 4]), std::string(200, 'F')));
    }
    sam.writeBam("in.bam", lines);
    LibraryScan scan = scanLibraryBam("in.bam", 2, true, "", 50);
    ASSERT_EQ(scan.records, lines.size());
    ASSERT_TRUE(scan.grouped);
    std::vector<std::string> expected = names(readBamAsSam("in.bam"));
    for (std::string& name : expected)
        name.resize(name.find(';'));
    for (unsigned long count : {1UL, 4UL, 7UL, 900UL}) {
        std::vector<std::string> all;
        bool emptyPart = false;
        for (const BamPart& part : libraryParts("in.bam", scan, count, false)) {
            FeatureCounts counts;
            ProgressCounter progress;
            annotationMetricsAndCounting(WTA, "out.bam", part, {}, metrics, files, progress, counts,
                                         *model.model, false, false);
            ASSERT_TRUE(terminateMessages().empty()) << count;
            std::vector<std::string> got = names(readBamAsSam("out.bam"));
            emptyPart |= got.empty();
            // A part begins with a read's first record.
            if (!got.empty() && !all.empty()) {
                EXPECT_NE(got.front(), all.back()) << count;
            }
            all.insert(all.end(), got.begin(), got.end());
        }
        EXPECT_EQ(all, expected) << count;
        EXPECT_EQ(emptyPart, count == 900) << count;
    }
}
