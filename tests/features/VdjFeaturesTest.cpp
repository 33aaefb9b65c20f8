#include <gtest/gtest.h>

#include "TestSupport.h"
#include "support/Utilities.h"

namespace {

std::string receptorGtf() {
    std::string gtf;
    // name, type, chromosome, strand, gene start, exon end (0: no exon line)
    for (const std::string& gene :
         splitLines("IGHV1-2 IG_V_gene chr14 + 100 200\nIGHM IG_C_gene chr14 - 1000 1100\n"
                    "TRBV11-2 TR_V_gene chr7 + 3000 0\nTRBC1 TR_C_gene chr7 + 4000 0\n"
                    "trbv11-2 lncRNA chr7 + 5000 0\nXYZ1 TR_V_gene chr7 + 6000 0\n"
                    "ACTB protein_coding chr1 + 100 0\nTrbc1 TR_C_gene chr6 + 10 20")) {
        std::vector<std::string> f = words(gene);
        unsigned long start = std::stoul(f[4]), exonEnd = std::stoul(f[5]);
        std::string attributes = geneAttributes(f[0] + "_id", f[0], f[1]);
        gtf += gtfLine(f[2], "gene", start, start + 800, f[3][0], attributes);
        if (exonEnd)
            gtf += gtfLine(f[2], "exon", start, exonEnd, f[3][0], attributes);
    }
    // Ensembl names the type gene_biotype.
    return gtf + gtfLine("chr1", "exon", 100, 200, '+',
                         "gene_id \"E8\"; gene_name \"IGKV1\"; gene_biotype \"IG_V_gene\";");
}

} // namespace

// Which receptor genes each VDJ version moves to the VDJ and constant-region trees, under which
// labels. A lower-case trbv11-2 of no receptor type is a VDJ gene by name, and TRBV11-2 gets its
// chain suffix once more for it; a receptor type of neither IG nor TR adds nothing; constant-region
// membership is case-sensitive (mouse Trbc1, not TRBC1).
TEST(VdjFeatures, TreesAndLabelsPerVersion) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"Human", "VDJ_gene",
         "IGHV1-2|IGH_BVDJ TRBV11-2|TRB_TVDJ|TRB_TVDJ Trbc1|TRB_TVDJ trbv11-2|TRB_TVDJ"},
        {"Human", "VDJ_exon", "IGHV1-2|IGH_BVDJ IGKV1|IGK_BVDJ Trbc1|TRB_TVDJ"},
        {"Human", "CONSTANT_VDJ_gene",
         "IGHM|IGH_BReverseCONSTANTVDJ TRBC1|TRB_TForwardCONSTANTVDJ"},
        {"Human", "CONSTANT_VDJ_exon", "IGHM|IGH_BReverseCONSTANTVDJ"},
        {"Human", "NOT_VDJ_gene", "ACTB XYZ1"},
        {"HUMAN_TCR", "VDJ_gene", "TRBV11-2|TRB_TVDJ|TRB_TVDJ Trbc1|TRB_TVDJ trbv11-2|TRB_TVDJ"},
        {"HUMAN_TCR", "NOT_VDJ_gene", "ACTB IGHM IGHV1-2 XYZ1"},
        {"mm", "CONSTANT_VDJ_exon", "Trbc1|TRB_TForwardCONSTANTVDJ"},
        {"mm", "CONSTANT_VDJ_gene", "Trbc1|TRB_TForwardCONSTANTVDJ"},
        {"mm", "VDJ_gene",
         "IGHM|IGH_BVDJ IGHV1-2|IGH_BVDJ TRBC1|TRB_TVDJ TRBV11-2|TRB_TVDJ|TRB_TVDJ "
         "trbv11-2|TRB_TVDJ"},
        {"rat", "gene", "ACTB IGHM IGHV1-2 TRBC1 TRBV11-2 Trbc1 XYZ1 trbv11-2"}};
    const std::tuple<const char*, size_t, size_t> shapes[] = {
        {"Human", 21, 12}, {"HUMAN_TCR", 21, 12}, {"mm", 20, 12}, {"rat", 0, 4}};
    for (const auto& [version, cGenes, steps] : shapes) {
        BuiltModel built(receptorGtf(), version);
        EXPECT_EQ(built.model->cGenes().size(), cGenes) << version;
        EXPECT_EQ(built.model->schedule().size(), steps) << version;
        for (const auto& [caseVersion, tree, labels] : cases)
            if (std::string(caseVersion) == version)
                EXPECT_EQ(treeLabels(*built.model, tree), labels) << version << " " << tree;
        // Gene information keeps the plain labels.
        EXPECT_EQ(built.geneInfoJson.find("VDJ"), std::string::npos);
    }
    EXPECT_NE(
        BuiltModel(receptorGtf(), "rat").log.find("VDJ version 'rat' names no receptor chains"),
        std::string::npos);
}
