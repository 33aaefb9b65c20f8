#include <gtest/gtest.h>

#include "TestSupport.h"
#include "annotation/BamRecord.h"
#include "annotation/ReadIdentity.h"
#include "support/EarlyTerminate.h"

namespace {

SamText& records() {
    static SamText text({"chr1:100000"});
    return text;
}

} // namespace

TEST(BamRecord, ForwardSequenceAndQualities) {
    bam1_t* reverse = records().record("r\t16\tchr1\t100\t255\t5M\t*\t0\t0\tACGTN\tABCDE");
    EXPECT_EQ(getForwardSequenceString(reverse), "NACGT");
    EXPECT_EQ(getForwardQualityString(reverse), "EDCBA");
    bam1_t* forward = records().record("r\t0\tchr1\t100\t255\t5M\t*\t0\t0\tACGTN\tABCDE");
    EXPECT_EQ(getForwardSequenceString(forward), "ACGTN");
    EXPECT_EQ(getForwardQualityString(forward), "ABCDE");
    // Ambiguity codes complement as IUPAC letters.
    bam1_t* iupac = records().record("r\t16\tchr1\t100\t255\t4M\t*\t0\t0\tRYKM\t*");
    EXPECT_EQ(getForwardSequenceString(iupac), "KMRY");
    EXPECT_EQ(getForwardQualityString(iupac), "~~~~"); // missing qualities are 0xFF
    bam_get_qual(forward)[0] = 93;
    bam_get_qual(forward)[1] = 92;
    bam_get_qual(forward)[2] = 0;
    EXPECT_EQ(getForwardQualityString(forward), "~}!DE");
}

TEST(ReadIdentity, CellIndexAndUmiFromTheRight) {
    resetTerminateState();
    std::string cell = "stale", umi = "stale";
    getCellIndexAndUMIFromQName(cell, umi,
                                records().aligned(0, "chr1", 1, "5M", "read1;12345;ACGTACGT"));
    EXPECT_EQ(cell, "12345");
    EXPECT_EQ(umi, "ACGTACGT");
    getCellIndexAndUMIFromQName(cell, umi, records().aligned(0, "chr1", 1, "5M", "a;b;123;ACGT"));
    EXPECT_EQ(cell, "123");
    EXPECT_EQ(umi, "ACGT");
    getCellIndexAndUMIFromQName(cell, umi, records().aligned(0, "chr1", 1, "5M", "r;77;"));
    EXPECT_EQ(cell, "77");
    EXPECT_EQ(umi, "");
    EXPECT_FALSE(TERMINATE_STATE.failed());
}

TEST(ReadIdentity, MalformedNamesFailTheRunOncePerText) {
    resetTerminateState();
    std::string cell, umi;
    getCellIndexAndUMIFromQName(cell, umi, records().aligned(0, "chr1", 1, "5M", "read1;ACGT"));
    EXPECT_TRUE(cell.empty() && umi.empty());
    EXPECT_TRUE(TERMINATE_STATE.failed());
    getCellIndexAndUMIFromQName(cell, umi, records().aligned(0, "chr1", 1, "5M", "plain"));
    getCellIndexAndUMIFromQName(cell, umi, records().aligned(0, "chr1", 1, "5M", "plain"));
    EXPECT_EQ(terminateMessages(),
              (std::vector<std::string>{
                  "No semicolons present in QName: plain. Cannot parse Cell Label and UMI "
                  "information !",
                  "Only 1 semicolon present in QName: read1;ACGT. Cannot parse Cell Label and "
                  "UMI information !"}));
    resetTerminateState();
}

TEST(ReadIdentity, StrippingKeepsTheSequencerName) {
    bam1_t* record =
        records().record("a;b;c;d\t0\tchr1\t1\t255\t5M\t*\t0\t0\tACGTA\tABCDE\tNH:i:1");
    ASSERT_TRUE(stripCellAndUMIFromQName(record));
    EXPECT_STREQ(bam_get_qname(record), "a;b");
    EXPECT_EQ(getForwardSequenceString(record), "ACGTA"); // the rest of the record is intact
    EXPECT_EQ(getIntegerTag(record, "NH", 0), 1);
    bam1_t* one = records().aligned(0, "chr1", 1, "5M", "x;y");
    ASSERT_TRUE(stripCellAndUMIFromQName(one));
    EXPECT_STREQ(bam_get_qname(one), "x;y");
}
