#include <gtest/gtest.h>

#include "Constants.h"
#include "metrics/LibraryMetrics.h"

// A receptor gene without a VDJ version is an mRNA read, not a VDJ one. (The Targeted filter and
// excluded introns are the golden runs' "targeted" and "wta-no-introns-both-umis".)
TEST(LibraryMetrics, ReceptorGenesWithoutAVdjVersionAreMrna) {
    LibraryMetrics noVdj("hs", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "");
    ReadMetricsOutcome outcome = noVdj.update("ACGTACGT", "TRBV5|TRB_TVDJ", "1", "", true);
    EXPECT_TRUE(outcome.chainClass.empty());
    EXPECT_EQ(noVdj.vdjReads, 0u);
    EXPECT_EQ(noVdj.categories[MAPPED_MRNA], 1u);
    EXPECT_EQ(noVdj.reportCategories()[OTHER], 0u);
}
