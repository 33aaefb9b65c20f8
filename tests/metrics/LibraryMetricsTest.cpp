#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

#include "Constants.h"
#include "metrics/LibraryMetrics.h"

namespace {

LibraryMetrics makeMetrics(UMIOption option = ABSEQ_UMI_ONLY, bool excludeIntrons = false,
                           const std::string& vdj = "human", AssayType assay = WTA) {
    return LibraryMetrics("hs", assay, option, excludeIntrons, {}, {}, vdj);
}

const std::string UMI8 = "ACGTACGT";
const std::string ABSEQ12 = "AAAACCCCGGGG";

} // namespace

TEST(LibraryMetrics, UmiLengthDecidesCellular) {
    LibraryMetrics m = makeMetrics();
    for (const std::string& umi :
         std::vector<std::string>{"", "ACGTACG", "ACGTACGTA", std::string(21, 'A')}) {
        EXPECT_FALSE(m.update(umi, "GENE", "1", "", true).counted);
        m.update(umi, "phiX174", "1", "", true);
        m.update(umi, "Tag1stAbO", "1", "", true);
        m.update(umi, "TRBV5|TRB_TVDJ", "1", "", true);
    }
    EXPECT_EQ(m.cellularReads.load(), 0u);
    EXPECT_EQ(m.phixReads.load(), 4u);
    EXPECT_EQ(m.sampleTagReads.load(), 4u);
    EXPECT_EQ(m.vdjReads.load(), 4u);
    for (size_t length : {8u, 12u, 20u})
        EXPECT_TRUE(m.update(std::string(length, 'C'), "GENE", "1", "", true).counted);
    EXPECT_EQ(m.cellularReads.load(), 3u);
    EXPECT_EQ(m.categoryCounts.at("Mapped_to_Genes_mRNA"), 3u);
}

TEST(LibraryMetrics, AbseqUmiOptions) {
    LibraryMetrics both = makeMetrics(R1_AND_ABSEQ_UMI);
    EXPECT_TRUE(both.update(UMI8, "CD4pAbO", "1", ABSEQ12, true).counted); // 20 characters
    LibraryMetrics abseqOnly = makeMetrics(ABSEQ_UMI_ONLY);
    EXPECT_TRUE(abseqOnly.update("", "CD4pAbO", "1", ABSEQ12, true).counted);
    LibraryMetrics r1Only = makeMetrics(R1_UMI_ONLY);
    EXPECT_TRUE(r1Only.update(UMI8, "CD4pAbO", "1", ABSEQ12, true).counted);
    EXPECT_FALSE(r1Only.update("", "CD4pAbO", "1", ABSEQ12, true).counted);
    for (UMIOption option : {R1_UMI_ONLY, ABSEQ_UMI_ONLY, R1_AND_ABSEQ_UMI}) {
        LibraryMetrics m = makeMetrics(option);
        EXPECT_FALSE(m.update(UMI8, "CD4pAbO", "1", "", true).counted);
        EXPECT_EQ(m.cellularReads.load(), 0u);
    }
    EXPECT_EQ(both.categoryCounts.at("Mapped_to_Genes_AbSeq"), 1u);
    LibraryMetrics invalid = makeMetrics(static_cast<UMIOption>(5));
    EXPECT_THROW(invalid.update(UMI8, "CD4pAbO", "1", ABSEQ12, true), std::invalid_argument);
}

TEST(LibraryMetrics, CategoriesAndUsefulness) {
    LibraryMetrics m = makeMetrics();
    struct Case {
        std::string gene, status, category;
        bool counted;
    } cases[] = {
        {"phiX174", "1", "Other_No_Feature", false},
        {"GENE", "alignment:2_feature:GENE:MAcorrected", "Mapped_to_Genes_mRNA", true},
        {"*", "alignment:2_feature:A+B", "Not_Unique", false},
        {"*", "alignment_not_unique", "Not_Unique", false},
        {"*", "ambiguous[A+B]", "Other_Ambiguous", false},
        {"A", "introns_A", "Other_Introns", true},
        {"*", "antisense_exons_A", "Other_Antisense_Exons", false},
        {"*", "antisense_introns_A", "Other_Antisense_Introns", false},
        {"*", "intergenic", "Other_Intergenic", false},
        {"*", "x", "Unaligned", false},
        {"*", "no_feature", "Other_No_Feature", false},
        {"*", "not_aligned", "Other_No_Feature", false},
        {"Tag1stAbO", "1", "Mapped_to_Genes_SMK", true},
        {"TRBV5|TRB_TVDJ", "1", "Mapped_to_Genes_VDJ_TCR", true},
        {"IGHV1|IGH_BVDJ", "alignment:2_feature:X:VDJMAcorrected", "Mapped_to_Genes_VDJ_BCR", true},
        {"ODD|XVDJ", "1", "Mapped_to_Genes_mRNA", true},
    };
    for (const Case& c : cases) {
        unsigned long before = m.categoryCounts.at(c.category);
        EXPECT_EQ(m.update(UMI8, c.gene, c.status, "", true).counted, c.counted) << c.status;
        EXPECT_EQ(m.categoryCounts.at(c.category), before + 1) << c.gene << " " << c.status;
    }
    EXPECT_EQ(m.cellularReads.load(), 16u);
    EXPECT_EQ(m.usefulReads.load(), 6u);
    EXPECT_EQ(m.uniquelyAlignedReads.load(), 13u); // all but two Not_Unique and one Unaligned
    EXPECT_EQ(m.vdjReads.load(), 3u);              // the odd VDJ gene counts here only
    EXPECT_EQ(m.cellularVdjReads.load(), 2u);
    EXPECT_EQ(m.usefulVdjReads.load(), 2u);
    EXPECT_EQ(m.usefulVdjTcrReads.load(), 1u);
    EXPECT_EQ(m.usefulVdjBcrReads.load(), 1u);
    EXPECT_EQ(m.cellularSampleTagReads.load(), 1u);
    EXPECT_EQ(m.usefulSampleTagReads.load(), 1u);
    EXPECT_EQ(m.phixReads.load(), 1u);
}

// Reads that fail the Targeted filter, intronic reads when excluded, and receptor genes without a
// VDJ version: counted, but not as what they would otherwise be.
TEST(LibraryMetrics, FiltersIntronsAndVdjVersion) {
    LibraryMetrics targeted = makeMetrics(ABSEQ_UMI_ONLY, false, "", Targeted);
    EXPECT_FALSE(targeted.update(UMI8, "GENE", "1", "", false).counted);
    targeted.update(UMI8, "*", "x", "", false);
    targeted.update(UMI8, "Tag1stAbO", "1", "", false); // not a sample-tag read when filtered
    EXPECT_EQ(targeted.categoryCounts.at("Other_No_Feature"), 2u);
    EXPECT_EQ(targeted.categoryCounts.at("Unaligned"), 1u);
    EXPECT_EQ(targeted.sampleTagReads.load(), 0u);

    LibraryMetrics excluding = makeMetrics(ABSEQ_UMI_ONLY, true);
    EXPECT_FALSE(excluding.update(UMI8, "*", "introns_A", "", true).counted);
    EXPECT_EQ(excluding.cellularReads.load(), 1u);
    EXPECT_EQ(excluding.categoryCounts.at("Other_Introns"), 1u);

    LibraryMetrics noVdj = makeMetrics(ABSEQ_UMI_ONLY, false, "");
    ReadMetricsOutcome outcome = noVdj.update(UMI8, "TRBV5|TRB_TVDJ", "1", "", true);
    EXPECT_TRUE(outcome.chainClass.empty());
    EXPECT_EQ(noVdj.vdjReads.load(), 0u);
    EXPECT_EQ(noVdj.categoryCounts.at("Mapped_to_Genes_mRNA"), 1u);
}

TEST(LibraryMetricsConcurrent, ThreadsCountEveryRead) {
    LibraryMetrics m = makeMetrics();
    const int threads = 4, reads = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&m, t] {
            for (int i = 0; i < reads; ++i) {
                const char* status = (i + t) % 3 == 0 ? "1" : (i % 3 == 1 ? "intergenic" : "x");
                m.update(UMI8, "GENE", status, "", true);
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(m.cellularReads.load(), static_cast<unsigned long>(threads * reads));
    unsigned long total = 0;
    for (const auto& entry : m.categoryCounts)
        total += entry.second;
    EXPECT_EQ(total, static_cast<unsigned long>(threads * reads));
    EXPECT_EQ(m.usefulReads.load(), m.categoryCounts.at("Mapped_to_Genes_mRNA"));
}
