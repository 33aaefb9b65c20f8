// The workers' BAM writer against HTSlib's: the same BAM stream, in blocks gzip accepts.
#include <cerrno>
#include <gtest/gtest.h>
#include <htslib/sam.h>
#include <random>

#include "TestSupport.h"
#include "outputs/BamWriter.h"

namespace {

std::string randomText(std::mt19937& random, size_t length, const std::string& alphabet) {
    std::string text(length, ' ');
    for (char& c : text)
        c = alphabet[random() % alphabet.size()];
    return text;
}

} // namespace

// Names of every padding, unmapped and mapped records, a tag longer than a block and one that does
// not compress, and enough records for many blocks: decompressed, the file is
// byte for byte what HTSlib writes, every block's CRC holds and the file ends as BAM must.
TEST(BamWriter, WritesTheStreamHtslibWritesInBlocksGzipAccepts) {
    ScratchDir dir;
    std::mt19937 random(11);
    std::string noise;
    for (int i = 0; i < 100000; ++i)
        noise += "," + std::to_string(random() % 256);
    SamText sam(standardReferences());
    std::vector<std::string> lines = {
        samLine("r", 4, "*", 0, "*", ""),
        samLine("read;7;ACGT", 0, "chr1", 1001, "10M", "NH:i:1\tXF:Z:A", "ACGTACGTAC",
                "IIIIIIIIII"),
        samLine("long", 16, "chr2", 5, "5M", "XL:Z:" + randomText(random, 70000, "ACGT"), "ACGTA"),
        samLine("noise", 0, "chr1", 9, "1M", "XN:B:C" + noise, "A")};
    for (int i = 0; i < 3000; ++i)
        lines.push_back(samLine("q" + std::to_string(i) + std::string(i % 5, 'x'), 0, "chr1", 1 + i,
                                "20M", "NH:i:1\tCB:Z:" + randomText(random, 9, "ACGT"),
                                randomText(random, 20, "ACGT"), randomText(random, 20, "5?I")));
    sam.writeBam("htslib.bam", lines);
    BamWriter writer;
    ASSERT_TRUE(writer.open("ours.bam", sam.header()));
    for (const std::string& line : lines)
        ASSERT_TRUE(writer.write(sam.record(line)));
    ASSERT_TRUE(writer.close());

    ProcessResult ours = runProcess({"gzip", "-dc", "ours.bam"});
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_TRUE(ours.out == runProcess({"gzip", "-dc", "htslib.bam"}).out);
    EXPECT_EQ(runProcess({"samtools", "quickcheck", "ours.bam"}).status, 0);
    EXPECT_EQ(readBamAsSam("ours.bam").size(), lines.size());
}

// Records BAM cannot hold are refused, not cut; a failed write is reported at the latest by close.
TEST(BamWriter, RefusesWhatBamCannotHoldAndReportsFailedWrites) {
    ScratchDir dir;
    SamText sam(standardReferences());
    bam1_t* record = bam_init1();
    std::vector<uint32_t> cigar(70000, bam_cigar_gen(1, BAM_CMATCH));
    ASSERT_GE(bam_set1(record, 1, "c", 0, 0, 0, 0, cigar.size(), cigar.data(), -1, -1, 0, 0,
                       nullptr, nullptr, 0),
              0);
    BamWriter writer;
    ASSERT_TRUE(writer.open("cigar.bam", sam.header()));
    errno = 0;
    EXPECT_FALSE(writer.write(record));
    EXPECT_EQ(errno, EOVERFLOW);
    bam_destroy1(record);

    // A block is written as it fills and its failure seen by the write; the last at close.
    for (int records : {1, 5000}) {
        BamWriter full;
        ASSERT_TRUE(full.open("/dev/full", sam.header()));
        bool written = true;
        for (int i = 0; written && i < records; ++i)
            written = full.write(sam.aligned(0, "chr1", i, "50M"));
        EXPECT_EQ(written, records == 1);
        EXPECT_FALSE(full.close());
    }
}
