#include <gtest/gtest.h>

#include "TestSupport.h"
#include "support/Utilities.h"

namespace {

std::string receptorGtf() {
    // Ensembl names the type gene_biotype.
    return gtfOfGenes(
               "V IGHV1-2 IG_V_gene chr14 + 100 900 100 200\n"
               "C IGHM IG_C_gene chr14 - 1000 1800 1000 1100\n"
               "V2 TRBV11-2 TR_V_gene chr7 + 3000 3800\nC2 TRBC1 TR_C_gene chr7 + 4000 4800\n"
               "L trbv11-2 lncRNA chr7 + 5000 5800\nX XYZ1 TR_V_gene chr7 + 6000 6800\n"
               "A ACTB protein_coding chr1 + 100 900\nM Trbc1 TR_C_gene chr6 + 10 810 10 20") +
           gtfLine("chr1", "exon", 100, 200, '+',
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
        for (const auto& [caseVersion, tree, labels] : cases) {
            if (std::string(caseVersion) == version) {
                EXPECT_EQ(treeLabels(*built.model, tree), labels) << version << " " << tree;
            }
        }
        // Gene information keeps the plain labels.
        EXPECT_EQ(built.geneInfoJson.find("VDJ"), std::string::npos);
        if (std::string(version) == "rat") {
            EXPECT_NE(built.log.find("VDJ version 'rat' names no receptor chains"),
                      std::string::npos);
        }
    }
}
