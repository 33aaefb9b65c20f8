#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <system_error>

#include "TestSupport.h"
#include "annotation/BamRecord.h"
#include "annotation/ReadAnnotation.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"

namespace {

class AnnotateRead : public testing::Test {
protected:
    AnnotateRead()
        : sam({"chr1:100000", "phiX174:5386", "ERCC-00002:1061", "CD4pAbO:200", "Tag1stAbO:200"}),
          files(std::make_unique<ReadAnnotationFiles>("t")),
          metrics("hs", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "human") {
        resetTerminateState();
    }
    ~AnnotateRead() override { resetTerminateState(); }

    // One read group from SAM lines; every line gets the same read name.
    std::vector<bam1_t*> group(const std::vector<std::string>& fields,
                               const std::string& name = "read1;17;ACGTACGT") {
        std::vector<bam1_t*> records;
        for (const std::string& f : fields)
            records.push_back(sam.record(name + "\t" + f));
        return records;
    }

    std::vector<bam1_t*> annotate(const std::vector<std::string>& fields,
                                  const std::string& name = "read1;17;ACGTACGT",
                                  AssayType assay = WTA, bool cellCalling = false,
                                  LibraryMetrics* into = nullptr) {
        std::vector<bam1_t*> records = group(fields, name);
        annotateR2(assay, sam.header(), records, extra, into ? *into : metrics, *files, tcr, bcr,
                   false, cellCalling);
        return records;
    }

    // Closes the files and returns every valid-reads line written, partition files first.
    std::string validReads() {
        files.reset();
        std::string all;
        for (int p = 0; p < 32; ++p)
            all += readFile("t_Sorted_Valid_Reads.csv." + std::to_string(p));
        return all + "|" + readFile("t_SampleTag_Sorted_Valid_Reads.csv.0");
    }

    ScratchDir dir;
    SamText sam;
    std::unique_ptr<ReadAnnotationFiles> files;
    LibraryMetrics metrics;
    std::unordered_set<std::string> extra = {"CD4pAbO", "Tag1stAbO"};
    std::string tcr, bcr;
};

const std::string UNIQUE = "0\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:";

} // namespace

// The gene and status of a read from its records' features (NH records of one name).
TEST_F(AnnotateRead, GeneAndStatusFromTheFeatures) {
    const std::string multi = "\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:3\tXF:Z:";
    const std::string two = "\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:2\tXF:Z:";
    const struct {
        std::vector<std::string> records;
        bool excludeIntrons;
        const char *gene, *status;
    } cases[] = {
        {{UNIQUE + "GAPDH"}, false, "GAPDH", "1"},
        {{UNIQUE + "__intergenic"}, false, "*", "intergenic"},
        {{UNIQUE + "__introns_ACTB"}, false, "ACTB", "introns_ACTB"},
        {{UNIQUE + "__introns_ACTB"}, true, "*", "introns_ACTB"},
        {{UNIQUE + "__ambiguous[A+B]"}, false, "*", "ambiguous[A+B]"},
        {{"4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__not_aligned"}, false, "*", "x"},
        // A "__" feature on an extra reference counts for the reference.
        {{"0\tCD4pAbO\t1\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"},
         false,
         "CD4pAbO",
         "1"},
        // Without an NH tag a record is a read with one alignment.
        {{"0\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tXF:Z:GAPDH"}, false, "GAPDH", "1"},
        {{"0\tphiX174\t10\t255\t20M100N20M\t*\t0\t0\t*\t*\tNH:i:1"}, false, "phiX174", "x"},
        {{"0\tphiX174\t10\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"},
         false,
         "phiX174",
         "1"},
        {{"16\tERCC-00002\t10\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1"}, false, "ERCC-00002", "1"},
        {{"0" + multi + "GENEA", "256" + multi + "__intergenic", "256" + multi + "GENEA"},
         false,
         "GENEA",
         "alignment:3_feature:GENEA:MAcorrected"},
        {{"0" + multi + "GENEB", "256" + multi + "GENEA", "256" + multi + "__no_feature"},
         false,
         "*",
         "alignment:3_feature:GENEA+GENEB"},
        {{"0" + two + "__alignment_not_unique", "256" + two + "__alignment_not_unique"},
         false,
         "*",
         "alignment_not_unique"},
        {{"0" + two + "__intergenic", "256" + two + "__intergenic"},
         false,
         "*",
         "alignment:2_feature:0"},
        {{"0" + two + "TRBV5|TRB_TVDJ", "256" + two + "TRBV6|TRB_TVDJ"},
         false,
         "TRBV5|TRB_TVDJ+TRBV6|TRB_TVDJ",
         "alignment:2_feature:TRBV5|TRB_TVDJ+TRBV6|TRB_TVDJ:VDJMAcorrected"},
        {{"0" + two + "TRAV1|TRA_TVDJ", "256" + two + "TRBV5|TRB_TVDJ"},
         false,
         "*",
         "alignment:2_feature:TRAV1|TRA_TVDJ+TRBV5|TRB_TVDJ:VDJMixed"},
    };
    for (const auto& c : cases) {
        std::vector<bam1_t*> records = group(c.records);
        ReadAssignment a = assignReadGene(sam.header(), records, extra, c.excludeIntrons);
        EXPECT_EQ(a.gene, c.gene) << c.records[0];
        EXPECT_EQ(a.status, c.status) << c.records[0];
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
    const std::string name = "r;1;ACGTACGT";
    unsigned long expectedCounted = 0;
    for (const auto& type : types) {
        const std::string m = std::to_string(type.minimumLength) + "M";
        const std::string shortM = std::to_string(type.minimumLength - 1) + "M";
        const std::string tags =
            "NH:i:1\tXF:Z:" + std::string(type.reference[0] == 'c' ? "GENE|x" : "__no_feature");
        const std::tuple<int, long, std::string, bool> reads[] = {
            {0, 1, m, true},
            {0, type.lastStart, "3S" + m, true},
            {0, type.lastStart + 1, m, false},
            {16, 1, m, false},
            {0, 1, shortM, false}};
        for (const auto& [flag, pos, cigar, passes] : reads) {
            unsigned long before = targeted.usefulReads.load();
            // Sequenced bases: the AbSeq UMI is taken from them.
            std::string seq(
                std::stoi(cigar.substr(cigar[1] == 'S' ? 2 : 0)) + (cigar[1] == 'S' ? 3 : 0), 'C');
            annotate({samLine("x", flag, type.reference, pos, cigar, tags, seq).substr(2)}, name,
                     Targeted, false, &targeted);
            EXPECT_EQ(targeted.usefulReads.load() - before, passes ? 1u : 0u)
                << type.reference << " " << flag << " " << pos << " " << cigar;
            expectedCounted += passes;
        }
    }
    EXPECT_EQ(targeted.usefulReads.load(), expectedCounted);
    EXPECT_EQ(checkTargetedStartPosition(0, "mrna"), false);
    EXPECT_TRUE(checkTargetedStartPosition(999, "vdj"));
    EXPECT_THROW(checkTargetedStartPosition(1, "rna"), std::system_error);
    // A Targeted mRNA line keeps the gene up to its first "|".
    EXPECT_EQ(validReads().substr(0, 17), "1,ACGTACGT,GENE,\n");
}

TEST_F(AnnotateRead, CellCallingOnVdjKeepsOnlySampleTagLines) {
    annotate({UNIQUE + "GAPDH"}, "r;5;AAAACCCC", WTA, true);
    annotate({"0\tTag1stAbO\t1\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"},
             "r;9;AAAACCCC", WTA, true);
    EXPECT_EQ(validReads(), "|9,AAAACCCC,Tag1stAbO,\n");
}

TEST_F(AnnotateRead, MalformedNameFailsTheRunButStillTagsTheRead) {
    std::vector<bam1_t*> read = annotate({UNIQUE + "GAPDH"}, "nosemicolons");
    EXPECT_TRUE(TERMINATE_STATE.failed());
    EXPECT_EQ(getStringTag(read[0], "CB"), "");
    EXPECT_EQ(metrics.cellularReads.load(), 0u);
}
