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

    ReadAssignment assign(const std::vector<std::string>& fields, bool excludeIntrons = false) {
        std::vector<bam1_t*> records = group(fields);
        return assignReadGene(sam.header(), records, extra, excludeIntrons);
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

TEST_F(AnnotateRead, UniqueReadsByFeature) {
    ReadAssignment a = assign({UNIQUE + "GAPDH"});
    EXPECT_EQ(a.gene, "GAPDH");
    EXPECT_EQ(a.status, "1");
    a = assign({UNIQUE + "__intergenic"});
    EXPECT_EQ(a.gene, "*");
    EXPECT_EQ(a.status, "intergenic");
    a = assign({UNIQUE + "__introns_ACTB"});
    EXPECT_EQ(a.gene, "ACTB");
    EXPECT_EQ(a.status, "introns_ACTB");
    a = assign({UNIQUE + "__introns_ACTB"}, true);
    EXPECT_EQ(a.gene, "*");
    EXPECT_EQ(a.status, "introns_ACTB");
    a = assign({UNIQUE + "__ambiguous[A+B]"});
    EXPECT_EQ(a.status, "ambiguous[A+B]");
    a = assign({"4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__not_aligned"});
    EXPECT_EQ(a.status, "x");
    // A "__" feature on an extra reference counts for the reference.
    a = assign({"0\tCD4pAbO\t1\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"});
    EXPECT_EQ(a.gene, "CD4pAbO");
    EXPECT_EQ(a.status, "1");
    // Without an NH tag a record is a read with one alignment.
    a = assign({"0\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tXF:Z:GAPDH"});
    EXPECT_EQ(a.status, "1");
}

TEST_F(AnnotateRead, SpikeIns) {
    ReadAssignment a = assign({"0\tphiX174\t10\t255\t20M100N20M\t*\t0\t0\t*\t*\tNH:i:1"});
    EXPECT_EQ(a.status, "x");
    EXPECT_EQ(a.gene, "phiX174");
    a = assign({"0\tphiX174\t10\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"});
    EXPECT_EQ(a.status, "1");
    EXPECT_EQ(a.gene, "phiX174");
    a = assign({"16\tERCC-00002\t10\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1"});
    EXPECT_EQ(a.gene, "ERCC-00002");
    EXPECT_EQ(a.status, "1");
}

TEST_F(AnnotateRead, MultipleAlignments) {
    const std::string multi = "\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:3\tXF:Z:";
    ReadAssignment a =
        assign({"0" + multi + "GENEA", "256" + multi + "__intergenic", "256" + multi + "GENEA"});
    EXPECT_EQ(a.status, "alignment:3_feature:GENEA:MAcorrected");
    EXPECT_EQ(a.gene, "GENEA");
    a = assign({"0" + multi + "GENEB", "256" + multi + "GENEA", "256" + multi + "__no_feature"});
    EXPECT_EQ(a.status, "alignment:3_feature:GENEA+GENEB");
    EXPECT_EQ(a.gene, "*");
    const std::string two = "\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:2\tXF:Z:";
    a = assign({"0" + two + "__alignment_not_unique", "256" + two + "__alignment_not_unique"});
    EXPECT_EQ(a.status, "alignment_not_unique");
    a = assign({"0" + two + "__intergenic", "256" + two + "__intergenic"});
    EXPECT_EQ(a.status, "alignment:2_feature:0");
    a = assign({"0" + two + "TRBV5|TRB_TVDJ", "256" + two + "TRBV6|TRB_TVDJ"});
    EXPECT_EQ(a.status, "alignment:2_feature:TRBV5|TRB_TVDJ+TRBV6|TRB_TVDJ:VDJMAcorrected");
    EXPECT_EQ(a.gene, "TRBV5|TRB_TVDJ+TRBV6|TRB_TVDJ");
    a = assign({"0" + two + "TRAV1|TRA_TVDJ", "256" + two + "TRBV5|TRB_TVDJ"});
    EXPECT_EQ(a.status, "alignment:2_feature:TRAV1|TRA_TVDJ+TRBV5|TRB_TVDJ:VDJMixed");
    EXPECT_EQ(a.gene, "*");
}

TEST_F(AnnotateRead, TagsOfUniqueAndMultipleReads) {
    std::vector<bam1_t*> unique = annotate({UNIQUE + "GAPDH"});
    EXPECT_EQ(getStringTag(unique[0], "TR"), "*");
    EXPECT_EQ(getStringTag(unique[0], "TF"), "*");
    EXPECT_EQ(getStringTag(unique[0], "CB"), "17");
    EXPECT_EQ(getStringTag(unique[0], "MR"), "ACGTACGT");
    EXPECT_EQ(getStringTag(unique[0], "XF"), "GAPDH");

    const std::string two = "\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:2\tXF:Z:";
    std::vector<bam1_t*> multi = annotate({"0" + two + "A", "256" + two + "B"});
    for (bam1_t* record : multi) {
        EXPECT_EQ(getStringTag(record, "TR"), "");
        EXPECT_EQ(getStringTag(record, "TF"), "");
        EXPECT_EQ(getStringTag(record, "CB"), "17");
        EXPECT_EQ(getStringTag(record, "MR"), "ACGTACGT");
    }
    // A constant-region hit in the read's orientation is rewritten to the plain gene.
    std::vector<bam1_t*> constant = annotate(
        {"16\tchr1\t100\t255\t50M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:IGHM|IGH_BReverseCONSTANTVDJ"});
    EXPECT_EQ(getStringTag(constant[0], "XF"), "IGHM");
    EXPECT_EQ(metrics.categoryCounts.at("Mapped_to_Genes_mRNA"), 2u);
    EXPECT_EQ(validReads(), "17,ACGTACGT,GAPDH,\n17,ACGTACGT,IGHM,\n|");
}

TEST_F(AnnotateRead, ValidReadsLinesByReadType) {
    annotate({UNIQUE + "GAPDH"}, "r;5;AAAACCCC");
    annotate({UNIQUE + "__intergenic"}, "r;6;AAAACCCC");
    annotate({UNIQUE + "__introns_ACTB"}, "r;7;AAAACCCC");
    annotate({"0\tCD4pAbO\t1\t255\t16M\t*\t0\t0\tGGGGTTTTAAAACCCC\t*\tNH:i:1\tXF:Z:__no_feature"},
             "r;8;AAAACCCC");
    std::vector<bam1_t*> tag = annotate(
        {"0\tTag1stAbO\t1\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"}, "r;9;AAAACCCC");
    annotate({UNIQUE + "GAPDH"}, "r;10;AAAACCC"); // 7-base UMI: not cellular
    std::string lines = validReads();
    EXPECT_NE(lines.find("5,AAAACCCC,GAPDH,\n"), std::string::npos);
    EXPECT_NE(lines.find("7,AAAACCCC,ACTB,\n"), std::string::npos);
    EXPECT_NE(lines.find("8,AAAACCCC,CD4pAbO,GGGGTTTTAAAA\n"), std::string::npos);
    EXPECT_EQ(lines.substr(lines.find('|')), "|9,AAAACCCC,Tag1stAbO,\n");
    EXPECT_EQ(lines.find(",6,"), std::string::npos);
    EXPECT_EQ(lines.find("10,"), std::string::npos);
    EXPECT_EQ(metrics.cellularReads.load(), 5u);
}

TEST_F(AnnotateRead, AbseqReadsTagTheirOwnUmi) {
    std::vector<bam1_t*> read = annotate(
        {"0\tCD4pAbO\t1\t255\t16M\t*\t0\t0\tGGGGTTTTAAAACCCC\t*\tNH:i:1\tXF:Z:__no_feature"});
    EXPECT_EQ(getStringTag(read[0], "MR"), "GGGGTTTTAAAA");
    EXPECT_EQ(metrics.categoryCounts.at("Mapped_to_Genes_AbSeq"), 1u);
}

TEST_F(AnnotateRead, TargetedFilter) {
    LibraryMetrics targeted("", Targeted, ABSEQ_UMI_ONLY, false, {}, {}, "");
    const std::string name = "r;1;ACGTACGT";
    annotate({"0\tchr1\t3\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:GENE|extra"}, name, Targeted,
             false, &targeted);
    annotate({"16\tchr1\t3\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:GENE"}, name, Targeted, false,
             &targeted);
    annotate({"0\tchr1\t6\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:GENE"}, name, Targeted, false,
             &targeted);
    annotate({"0\tchr1\t1\t255\t36M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:GENE"}, name, Targeted, false,
             &targeted);
    EXPECT_EQ(targeted.categoryCounts.at("Mapped_to_Genes_mRNA"), 1u);
    EXPECT_EQ(targeted.categoryCounts.at("Other_No_Feature"), 3u);
    // A Targeted mRNA line keeps the gene up to its first "|".
    EXPECT_EQ(validReads(), "1,ACGTACGT,GENE,\n|");

    EXPECT_FALSE(checkTargetedStartPosition(0, "mrna"));
    EXPECT_TRUE(checkTargetedStartPosition(15, "abseq"));
    EXPECT_TRUE(checkTargetedStartPosition(29, "sample_tag"));
    EXPECT_FALSE(checkTargetedStartPosition(30, "sample_tag"));
    EXPECT_TRUE(checkTargetedStartPosition(999, "vdj"));
    EXPECT_THROW(checkTargetedStartPosition(1, "rna"), std::system_error);
    EXPECT_THROW(checkReadAlignmentLengthMatch(nullptr, "other"), std::system_error);
    EXPECT_EQ(getReadTypeFromGeneName("X|TRB_TVDJ"), "vdj");
    EXPECT_EQ(getReadTypeFromGeneName("TagstAbO"), "sample_tag");
    EXPECT_EQ(getReadTypeFromGeneName("CDpAbO"), "abseq");
    EXPECT_EQ(getReadTypeFromGeneName("ACTB"), "mrna");
}

TEST_F(AnnotateRead, CellCallingOnVdjKeepsOnlySampleTagLines) {
    annotate({UNIQUE + "GAPDH"}, "r;5;AAAACCCC", WTA, true);
    annotate({"0\tTag1stAbO\t1\t255\t40M\t*\t0\t0\t*\t*\tNH:i:1\tXF:Z:__no_feature"},
             "r;9;AAAACCCC", WTA, true);
    EXPECT_EQ(validReads(), "|9,AAAACCCC,Tag1stAbO,\n");
}

TEST_F(AnnotateRead, VdjReadsBecomeFastqRecords) {
    annotate({"0\tchr1\t100\t255\t7M\t*\t0\t0\tGATTACA\tIIIIIII\tNH:i:1\tXF:Z:TRAV1|TRA_TVDJ"},
             "r;17;ACGTACGT");
    annotate({"16\tchr1\t100\t255\t4M\t*\t0\t0\tAACC\tABCD\tNH:i:1\tXF:Z:IGHV1|IGH_BVDJ"},
             "r;18;ACGTACGT");
    EXPECT_EQ(tcr, "@17|ACGTACGT|TRA\nGATTACA\n+\nIIIIIII\n");
    EXPECT_EQ(bcr, "@18|ACGTACGT|IGH\nGGTT\n+\nDCBA\n");
    EXPECT_EQ(metrics.usefulVdjTcrReads.load(), 1u);
    EXPECT_EQ(validReads(), "|"); // VDJ reads write no valid-reads line
}

TEST_F(AnnotateRead, MalformedNameFailsTheRunButStillTagsTheRead) {
    std::vector<bam1_t*> read = annotate({UNIQUE + "GAPDH"}, "nosemicolons");
    EXPECT_TRUE(TERMINATE_STATE.failed());
    EXPECT_EQ(getStringTag(read[0], "CB"), "");
    EXPECT_EQ(metrics.cellularReads.load(), 0u);
}
