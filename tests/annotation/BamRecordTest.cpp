#include <gtest/gtest.h>

#include "TestSupport.h"
#include "annotation/BamRecord.h"
#include "annotation/ReadIdentity.h"
#include "support/EarlyTerminate.h"

TEST(BamRecord, ForwardSequenceAndQualities) {
    // Reverse-strand records come back forward in the golden runs' FASTQ; here the edge cases.
    SamText sam({"chr1:100000"});
    bam1_t* forward = sam.record("r\t0\tchr1\t100\t255\t5M\t*\t0\t0\tACGTN\tABCDE");
    EXPECT_EQ(getForwardSequenceString(forward), "ACGTN");
    // Ambiguity codes complement as IUPAC letters; missing qualities are 0xFF.
    bam1_t* iupac = sam.record("r\t16\tchr1\t100\t255\t4M\t*\t0\t0\tRYKM\t*");
    EXPECT_EQ(getForwardSequenceString(iupac), "KMRY");
    EXPECT_EQ(getForwardQualityString(iupac), "~~~~");
    bam_get_qual(forward)[0] = 93;
    bam_get_qual(forward)[1] = 92;
    bam_get_qual(forward)[2] = 0;
    EXPECT_EQ(getForwardQualityString(forward), "~}!DE");
    // A record without SEQ may carry more CIGAR bases than an int holds.
    std::string cigar;
    for (int k = 0; k < 9; ++k)
        cigar += "268435455M";
    bam1_t* unplaced = sam.record("r\t4\t*\t0\t0\t" + cigar + "\t*\t0\t0\t*\t*");
    EXPECT_EQ(bamCigarOperationSum(unplaced, 'M'), 9 * 268435455LL);
}

// The cell index and the UMI are the last two ';' fields of the name; the name keeps the rest.
// A name with fewer fails the run, once per distinct name.
TEST(ReadIdentity, CellIndexAndUmiFromTheRight) {
    SamText sam({"chr1:100000"});
    EarlyTerminate failures;
    const std::tuple<const char*, const char*, const char*, const char*> names[] = {
        {"read1;12345;ACGTACGT", "12345", "ACGTACGT", "read1"},
        {"a;b;123;ACGT", "123", "ACGT", "a;b"},
        {"r;77;", "77", "", "r"},
        {"x;y", "", "", "x;y"},
        {"plain", "", "", "plain"},
        {"plain", "", "", "plain"}};
    for (const auto& [name, cell, umi, stripped] : names) {
        std::string gotCell = "stale", gotUmi = "stale";
        bam1_t* record = sam.record(samLine(name, 0, "chr1", 1, "5M", "NH:i:1", "ACGTA"));
        getCellIndexAndUMIFromQName(gotCell, gotUmi, record, failures);
        EXPECT_EQ(gotCell + "|" + gotUmi, std::string(cell) + "|" + umi) << name;
        ASSERT_TRUE(stripCellAndUMIFromQName(record));
        EXPECT_STREQ(bam_get_qname(record), stripped);
        EXPECT_EQ(getForwardSequenceString(record), "ACGTA"); // the rest of the record is intact
        EXPECT_EQ(getIntegerTag(record, "NH", 0), 1);
    }
    EXPECT_EQ(failures.messages(),
              (std::vector<std::string>{"Only 1 semicolon present in QName: x;y. Cannot parse Cell "
                                        "Label and UMI information !",
                                        "No semicolons present in QName: plain. Cannot parse Cell "
                                        "Label and UMI information !"}));
}
