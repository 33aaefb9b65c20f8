#include <gtest/gtest.h>

#include "Constants.h"
#include "metrics/LibraryMetrics.h"

namespace {

LibraryMetrics makeMetrics(UMIOption option = ABSEQ_UMI_ONLY, bool excludeIntrons = false,
                           const std::string& vdj = "human", AssayType assay = WTA) {
    return LibraryMetrics("hs", assay, option, excludeIntrons, {}, {}, vdj);
}

const std::string UMI8 = "ACGTACGT";

} // namespace

// Reads that fail the Targeted filter, intronic reads when excluded, and receptor genes without a
// VDJ version: counted, but not as what they would otherwise be.
TEST(LibraryMetrics, FiltersIntronsAndVdjVersion) {
    LibraryMetrics targeted = makeMetrics(ABSEQ_UMI_ONLY, false, "", Targeted);
    EXPECT_FALSE(targeted.update(UMI8, "GENE", "1", "", false).counted);
    targeted.update(UMI8, "*", "x", "", false);
    targeted.update(UMI8, "Tag1stAbO", "1", "", false); // not a sample-tag read when filtered
    EXPECT_EQ(targeted.categories[OTHER_NO_FEATURE], 2u);
    EXPECT_EQ(targeted.categories[UNALIGNED], 1u);
    EXPECT_EQ(targeted.sampleTagReads, 0u);

    LibraryMetrics excluding = makeMetrics(ABSEQ_UMI_ONLY, true);
    EXPECT_FALSE(excluding.update(UMI8, "*", "introns_A", "", true).counted);
    EXPECT_EQ(excluding.cellularReads, 1u);
    EXPECT_EQ(excluding.categories[OTHER_INTRONS], 1u);

    LibraryMetrics noVdj = makeMetrics(ABSEQ_UMI_ONLY, false, "");
    ReadMetricsOutcome outcome = noVdj.update(UMI8, "TRBV5|TRB_TVDJ", "1", "", true);
    EXPECT_TRUE(outcome.chainClass.empty());
    EXPECT_EQ(noVdj.vdjReads, 0u);
    EXPECT_EQ(noVdj.categories[MAPPED_MRNA], 1u);
}
