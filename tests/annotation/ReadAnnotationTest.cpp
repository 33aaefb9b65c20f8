#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <system_error>

#include "TestSupport.h"
#include "annotation/BamRecord.h"
#include "annotation/ReadAnnotation.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "outputs/TableSorting.h"
#include "support/EarlyTerminate.h"
#include "support/Gzip.h"
#include "support/Utilities.h"

namespace {

class AnnotateRead : public testing::Test {
protected:
    AnnotateRead()
        : sam({"chr1:100000", "phiX174:5386", "ERCC-00002:1061", "CD4pAbO:200", "Tag1stAbO:200"}),
          files(std::make_unique<ReadAnnotationFiles>("t", failures)),
          metrics("hs", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "human") {}

    // One read group: records "flag reference position CIGAR NH XF" separated by ", " ("-" for a
    // tag the record lacks), all with the read's name.
    std::vector<bam1_t*> group(const std::string& records,
                               const std::string& name = "r;17;ACGTACGT",
                               const std::string& seq = "*") {
        std::vector<bam1_t*> group;
        for (const std::string& record : strSplit(substrReplace(records, ", ", ",", -1), ',')) {
            std::vector<std::string> f = words(record);
            std::vector<std::string> tags;
            if (f[4] != "-")
                tags.push_back("NH:i:" + f[4]);
            if (f[5] != "-")
                tags.push_back("XF:Z:" + f[5]);
            group.push_back(sam.record(samLine(name, std::stoi(f[0]), f[1], std::stol(f[2]), f[3],
                                               strJoin(tags, "\t"), seq)));
        }
        return group;
    }

    std::vector<bam1_t*> annotate(const std::string& records, const std::string& name,
                                  bool cellCalling = false, LibraryMetrics* into = nullptr,
                                  AssayType assay = WTA, const std::string& seq = "*") {
        std::vector<bam1_t*> read = group(records, name, seq);
        annotateR2(assay, sam.header(), read, extra, into ? *into : metrics, *files, tcr, bcr,
                   false, cellCalling);
        return read;
    }

    // Closes the files and returns every valid-reads line written, partition files first.
    std::string validReads() {
        files.reset();
        std::string all;
        auto text = [](const std::string& path) {
            return std::filesystem::exists(path) ? readGzipMembers(path) : "";
        };
        for (int p = 0; p < 32; ++p)
            all += text("t_Sorted_Valid_Reads.csv." + std::to_string(p));
        return all + "|" + text("t_SampleTag_Sorted_Valid_Reads.csv.0");
    }

    ScratchDir dir;
    SamText sam;
    EarlyTerminate failures; // before files, which keeps a reference to it
    std::unique_ptr<ReadAnnotationFiles> files;
    LibraryMetrics metrics;
    std::unordered_set<std::string> extra = {"CD4pAbO", "Tag1stAbO"};
    std::string tcr, bcr;
};

} // namespace

// The gene and status of a read from its records' features (the records of one name); reads whose
// records do not match their NH are the golden variants' (GoldenRunTest.cpp).
TEST_F(AnnotateRead, GeneAndStatusFromTheFeatures) {
    const std::string trb5 = "TRBV5|TRB_TVDJ", trb6 = "TRBV6|TRB_TVDJ", tra1 = "TRAV1|TRA_TVDJ";
    const struct {
        std::string records;
        bool excludeIntrons;
        std::string gene, status;
    } cases[] = {
        {"0 chr1 100 50M 1 GAPDH", false, "GAPDH", "1"},
        {"0 chr1 100 50M 1 __intergenic", false, "*", "intergenic"},
        {"0 chr1 100 50M 1 __introns_ACTB", false, "ACTB", "introns_ACTB"},
        {"0 chr1 100 50M 1 __introns_ACTB", true, "*", "introns_ACTB"},
        {"0 chr1 100 50M 1 __ambiguous[A+B]", false, "*", "ambiguous[A+B]"},
        {"4 * 0 * 1 __not_aligned", false, "*", "x"},
        // A "__" feature on an extra reference counts for the reference.
        {"0 CD4pAbO 1 40M 1 __no_feature", false, "CD4pAbO", "1"},
        // Without an NH tag a record is a read with one alignment.
        {"0 chr1 100 50M - GAPDH", false, "GAPDH", "1"},
        {"0 phiX174 10 20M100N20M 1 -", false, "phiX174", "x"},
        {"0 phiX174 10 40M 1 __no_feature", false, "phiX174", "1"},
        {"16 ERCC-00002 10 40M 1 -", false, "ERCC-00002", "1"},
        {"0 chr1 100 50M 3 GENEA, 256 chr1 9 50M 3 __intergenic, 256 chr1 7 50M 3 GENEA", false,
         "GENEA", "alignment:3_feature:GENEA:MAcorrected"},
        {"0 chr1 100 50M 3 GENEB, 256 chr1 9 50M 3 GENEA, 256 chr1 7 50M 3 __no_feature", false,
         "*", "alignment:3_feature:GENEA+GENEB"},
        {"0 chr1 1 50M 2 __alignment_not_unique, 256 chr1 9 50M 2 __alignment_not_unique", false,
         "*", "alignment_not_unique"},
        {"0 chr1 1 50M 2 __intergenic, 256 chr1 9 50M 2 __intergenic", false, "*",
         "alignment:2_feature:0"},
        {"0 chr1 1 50M 2 " + trb5 + ", 256 chr1 9 50M 2 " + trb6, false, trb5 + "+" + trb6,
         "alignment:2_feature:" + trb5 + "+" + trb6 + ":VDJMAcorrected"},
        {"0 chr1 1 50M 2 " + tra1 + ", 256 chr1 9 50M 2 " + trb5, false, "*",
         "alignment:2_feature:" + tra1 + "+" + trb5 + ":VDJMixed"},
    };
    for (const auto& c : cases) {
        std::vector<bam1_t*> records = group(c.records);
        ReadAssignment a = assignReadGene(sam.header(), records, countAlignments(records), extra,
                                          c.excludeIntrons);
        EXPECT_EQ(a.gene + " " + a.status, c.gene + " " + c.status) << c.records;
    }
}

// A Targeted read counts when it starts within its type's window of the reference (1-based),
// runs forward and has enough aligned bases.
TEST_F(AnnotateRead, TargetedStartWindowAndAlignedLength) {
    LibraryMetrics targeted("hs", Targeted, ABSEQ_UMI_ONLY, false, {}, {}, "");
    const struct {
        const char* reference;
        long lastStart;
        int minimumLength;
    } types[] = {{"chr1", 5, 37}, {"CD4pAbO", 15, 25}, {"Tag1stAbO", 29, 40}};
    for (const auto& type : types) {
        const std::string m = std::to_string(type.minimumLength) + "M";
        const std::string shortM = std::to_string(type.minimumLength - 1) + "M";
        const std::string feature = type.reference[0] == 'c' ? "GENE|x" : "__no_feature";
        const std::tuple<int, long, std::string, bool> reads[] = {
            {0, 1, m, true},
            {0, type.lastStart, "3S" + m, true},
            {0, type.lastStart + 1, m, false},
            {16, 1, m, false},
            {0, 1, shortM, false}};
        for (const auto& [flag, pos, cigar, passes] : reads) {
            unsigned long before = targeted.usefulReads;
            // Sequenced bases: the AbSeq UMI is taken from them.
            std::string seq(
                std::stoi(cigar.substr(cigar[1] == 'S' ? 2 : 0)) + (cigar[1] == 'S' ? 3 : 0), 'C');
            annotate(std::to_string(flag) + " " + type.reference + " " + std::to_string(pos) + " " +
                         cigar + " 1 " + feature,
                     "r;1;ACGTACGT", false, &targeted, Targeted, seq);
            EXPECT_EQ(targeted.usefulReads - before, passes ? 1u : 0u)
                << type.reference << " " << flag << " " << pos << " " << cigar;
        }
    }
    EXPECT_EQ(checkTargetedStartPosition(0, "mrna"), false);
    EXPECT_TRUE(checkTargetedStartPosition(999, "vdj"));
    EXPECT_THROW(checkTargetedStartPosition(1, "rna"), std::system_error);
    // A Targeted mRNA line keeps the gene up to its first "|".
    EXPECT_EQ(validReads().substr(0, 17), "1,ACGTACGT,GENE,\n");
}

// With VDJ cell calling only sample-tag reads are written; a malformed name fails the run but
// the read is still tagged.
TEST_F(AnnotateRead, CellCallingAndMalformedNames) {
    annotate("0 chr1 100 50M 1 GAPDH", "r;5;AAAACCCC", true);
    annotate("0 Tag1stAbO 1 40M 1 __no_feature", "r;9;AAAACCCC", true);
    std::vector<bam1_t*> read = annotate("0 chr1 100 50M 1 GAPDH", "nosemicolons");
    EXPECT_TRUE(failures.failed());
    EXPECT_EQ(getStringTag(read[0], "CB"), "");
    EXPECT_EQ(metrics.cellularReads, 2u);
    EXPECT_EQ(validReads(), "|9,AAAACCCC,Tag1stAbO,\n");
}
