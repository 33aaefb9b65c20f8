#include <gtest/gtest.h>

#include "annotation/VdjAssignment.h"

TEST(VdjAssignment, RemoveSubgroup) {
    EXPECT_EQ(removeSubgroup("__ambiguous[TRBV5|TRB_TVDJ+TRBV6|TRB_TVDJ]"),
              "TRBV5|TRB_TVDJ+TRBV6|TRB_TVDJ");
    EXPECT_EQ(removeSubgroup("__introns_TRAC|TRA_TForwardCONSTANTVDJ"),
              "TRAC|TRA_TForwardCONSTANTVDJ");
    EXPECT_EQ(removeSubgroup("__ambiguousantisense_exons_[A+B]"), "A+B");
    EXPECT_EQ(removeSubgroup("__antisense_introns_X"), "X");
    EXPECT_EQ(removeSubgroup("PLAIN"), "PLAIN");
}

TEST(VdjAssignment, PerRecordRewriteByOrientation) {
    // A constant-region hit in the read's own orientation becomes the plain gene.
    EXPECT_EQ(rewriteVdjFeature("TRBC1|TRB_TForwardCONSTANTVDJ", false),
              std::make_pair(std::string("TRBC1"), true));
    EXPECT_EQ(rewriteVdjFeature("IGHM|IGH_BReverseCONSTANTVDJ", true),
              std::make_pair(std::string("IGHM"), true));
    // The opposite orientation keeps a receptor feature without its constant-region mark.
    EXPECT_EQ(rewriteVdjFeature("TRBC1|TRB_TReverseCONSTANTVDJ", false),
              std::make_pair(std::string("TRBC1|TRB_TVDJ"), true));
    EXPECT_EQ(rewriteVdjFeature("IGHV1-2|IGH_BVDJ", true),
              std::make_pair(std::string("IGHV1-2|IGH_BVDJ"), false));
    EXPECT_EQ(rewriteVdjFeature("__antisense_exons_IGHM|IGH_BReverseCONSTANTVDJ", false),
              std::make_pair(std::string("IGHM|IGH_BVDJ"), true));
    // A part without a receptor suffix keeps the composite feature as it is, but own-orientation
    // constant hits inside it are still replaced.
    EXPECT_EQ(rewriteVdjFeature("__ambiguous[ACTB+TRBC1|TRB_TForwardCONSTANTVDJ]", false),
              std::make_pair(std::string("__ambiguous[ACTB+TRBC1]"), true));
    EXPECT_EQ(rewriteVdjFeature("__ambiguous[ACTB+TRBV5|TRB_TVDJ]", false),
              std::make_pair(std::string("__ambiguous[ACTB+TRBV5|TRB_TVDJ]"), false));
}

TEST(VdjAssignment, UpdateAssignmentAndChainTypes) {
    EXPECT_EQ(updateAssignment("A|X+A|X", false, {{"A|X", "A"}}).first, "A+A");
    EXPECT_EQ(updateAssignment("__introns_T|TRB_TReverseCONSTANTVDJ", true, {}).first,
              "T|TRB_TVDJ");
    EXPECT_TRUE(uniqueChainType({"TRBV5|TRB_TVDJ", "TRBV6|TRB_TVDJ"}));
    EXPECT_FALSE(uniqueChainType({"TRAV1|TRA_TVDJ", "TRBV5|TRB_TVDJ"}));
    EXPECT_TRUE(uniqueChainType({}));
    EXPECT_EQ(vdjChainType("TRAV1|TRA_TVDJ"), "TRA");
    EXPECT_EQ(vdjChainType("TRBV11-2|TRB_TVDJ|TRB_TVDJ"), "TRB");

    std::string buffer;
    appendVdjFastqRecord(buffer, "17", "ACGT", "TRAV1|TRA_TVDJ", "GATTACA", "IIIIIII");
    EXPECT_EQ(buffer, "@17|ACGT|TRA\nGATTACA\n+\nIIIIIII\n");
}
