#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

std::vector<std::string> treeLabels(const FeatureAssigner& model, const std::string& tree) {
    std::vector<std::string> labels;
    auto found = model.featuresTrees().find(tree);
    if (found == model.featuresTrees().end())
        return labels;
    for (const ChromosomeTrees* strand : {&found->second.first, &found->second.second})
        for (const auto& entry : *strand)
            for (const auto& i : entry.second.findOverlapping(0, ~0UL))
                labels.push_back(i.value);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    return labels;
}

std::string receptorGtf() {
    return gtfLine("chr14", "gene", 100, 900, '+', geneAttributes("E1", "IGHV1-2", "IG_V_gene")) +
           gtfLine("chr14", "exon", 100, 200, '+', geneAttributes("E1", "IGHV1-2", "IG_V_gene")) +
           gtfLine("chr14", "gene", 1000, 1900, '-', geneAttributes("E2", "IGHM", "IG_C_gene")) +
           gtfLine("chr14", "exon", 1000, 1100, '-', geneAttributes("E2", "IGHM", "IG_C_gene")) +
           gtfLine("chr7", "gene", 100, 900, '+', geneAttributes("E3", "TRBV11-2", "TR_V_gene")) +
           gtfLine("chr7", "gene", 1000, 1900, '+', geneAttributes("E4", "TRBC1", "TR_C_gene")) +
           gtfLine("chr7", "gene", 2000, 2900, '+', geneAttributes("E5", "trbv11-2", "lncRNA")) +
           gtfLine("chr7", "gene", 3000, 3900, '+', geneAttributes("E6", "XYZ1", "TR_V_gene")) +
           gtfLine("chr1", "gene", 100, 900, '+', geneAttributes("E7", "ACTB")) +
           gtfLine("chr1", "exon", 100, 200, '+',
                   "gene_id \"E8\"; gene_name \"IGKV1\"; gene_biotype \"IG_V_gene\";");
}

} // namespace

TEST(VdjFeatures, HumanVersionSeparatesBothChains) {
    BuiltModel built(receptorGtf(), "Human");
    const FeatureAssigner& model = *built.model;
    EXPECT_EQ(model.cGenes().size(), 21u);
    EXPECT_EQ(model.schedule().size(), 12u);
    EXPECT_EQ(treeLabels(model, "VDJ_gene"),
              (std::vector<std::string>{"IGHV1-2|IGH_BVDJ", "TRBV11-2|TRB_TVDJ|TRB_TVDJ",
                                        "trbv11-2|TRB_TVDJ"}));
    EXPECT_EQ(treeLabels(model, "VDJ_exon"),
              (std::vector<std::string>{"IGHV1-2|IGH_BVDJ", "IGKV1|IGK_BVDJ"}));
    EXPECT_EQ(treeLabels(model, "CONSTANT_VDJ_gene"),
              (std::vector<std::string>{"IGHM|IGH_BReverseCONSTANTVDJ",
                                        "TRBC1|TRB_TForwardCONSTANTVDJ"}));
    EXPECT_EQ(treeLabels(model, "CONSTANT_VDJ_exon"),
              std::vector<std::string>{"IGHM|IGH_BReverseCONSTANTVDJ"});
    // A lower-case TRBV11-2 without a receptor type gets its extra suffix once (above, and so it is
    // a VDJ gene); a receptor type whose name starts with neither IG nor TR gets none.
    EXPECT_EQ(treeLabels(model, "NOT_VDJ_gene"), (std::vector<std::string>{"ACTB", "XYZ1"}));
    // Gene information keeps the plain labels.
    EXPECT_NE(built.geneInfoJson.find("\"IGHM\":{"), std::string::npos);
    EXPECT_EQ(built.geneInfoJson.find("CONSTANTVDJ"), std::string::npos);
}

TEST(VdjFeatures, TcrVersionLeavesImmunoglobulinsOut) {
    BuiltModel built(receptorGtf(), "HUMAN_TCR");
    const FeatureAssigner& model = *built.model;
    EXPECT_EQ(treeLabels(model, "VDJ_gene"),
              (std::vector<std::string>{"TRBV11-2|TRB_TVDJ|TRB_TVDJ", "trbv11-2|TRB_TVDJ"}));
    EXPECT_EQ(treeLabels(model, "CONSTANT_VDJ_gene"),
              (std::vector<std::string>{"TRBC1|TRB_TForwardCONSTANTVDJ"}));
    EXPECT_EQ(treeLabels(model, "NOT_VDJ_gene"),
              (std::vector<std::string>{"ACTB", "IGHM", "IGHV1-2", "XYZ1"}));
}

TEST(VdjFeatures, MouseConstantGenes) {
    BuiltModel built(
        gtfLine("chr6", "gene", 10, 90, '+', geneAttributes("M1", "Trbc1", "TR_C_gene")) +
            gtfLine("chr6", "exon", 10, 20, '+', geneAttributes("M1", "Trbc1", "TR_C_gene")) +
            gtfLine("chr6", "gene", 100, 190, '+', geneAttributes("M2", "TRBC1", "TR_C_gene")),
        "mm_bcr_tcr");
    EXPECT_EQ(built.model->cGenes().size(), 20u);
    EXPECT_EQ(treeLabels(*built.model, "CONSTANT_VDJ_exon"),
              std::vector<std::string>{"Trbc1|TRB_TForwardCONSTANTVDJ"});
    // Constant-region membership is case-sensitive: upper-case TRBC1 is no mouse constant gene.
    EXPECT_EQ(treeLabels(*built.model, "VDJ_gene"), std::vector<std::string>{"TRBC1|TRB_TVDJ"});
}

TEST(VdjFeatures, VersionWithoutChainsAnnotatesAsWithoutVdj) {
    BuiltModel built(receptorGtf(), "rat");
    EXPECT_EQ(built.model->schedule().size(), 4u);
    EXPECT_EQ(treeLabels(*built.model, "gene").size(), 7u);
    EXPECT_TRUE(built.model->cGenes().empty());
    EXPECT_NE(built.log.find("VDJ version 'rat' names no receptor chains"), std::string::npos);
}
