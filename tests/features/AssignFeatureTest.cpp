#include <cstring>
#include <gtest/gtest.h>
#include <random>

#include "FeatureTestSupport.h"

namespace {

// Forward gene A (exons 1001-1100 and 2001-2100), forward gene B overlapping A's second exon,
// reverse gene R, and a second forward gene C nested in A's intron.
std::string plainGtf() {
    return gtfLine("chr1", "gene", 1001, 3000, '+', geneAttributes("GA", "A")) +
           gtfLine("chr1", "exon", 1001, 1100, '+', geneAttributes("GA", "A")) +
           gtfLine("chr1", "exon", 2001, 2100, '+', geneAttributes("GA", "A")) +
           gtfLine("chr1", "exon", 2001, 2100, '+', geneAttributes("GA", "A")) + // 2nd transcript
           gtfLine("chr1", "gene", 2051, 2500, '+', geneAttributes("GB", "B")) +
           gtfLine("chr1", "exon", 2051, 2150, '+', geneAttributes("GB", "B")) +
           gtfLine("chr1", "gene", 5001, 6000, '-', geneAttributes("GR", "R")) +
           gtfLine("chr1", "exon", 5001, 5100, '-', geneAttributes("GR", "R")) +
           gtfLine("chr1", "gene", 1501, 1800, '+', geneAttributes("GC", "C")) +
           gtfLine("chr1", "exon", 1701, 1800, '+', geneAttributes("GC", "C")) +
           gtfLine("chr2", "gene", 110, 200, '+', geneAttributes("GE", "E")) +
           gtfLine("chr2", "exon", 110, 200, '+', geneAttributes("GE", "E"));
}

class AssignFeature : public testing::Test {
protected:
    AssignFeature()
        : built(plainGtf()),
          sam({"chr1:100000", "chr2:100000", "chrM:16000", "STARReferenceCPadding:1000"}) {}

    std::string assign(int flag, const std::string& ref, long pos0, const std::string& cigar) {
        bam1_t* record = sam.aligned(flag, ref, pos0, cigar);
        built.model->assignFeature(counts, record, sam.header());
        return stringTag(record, "XF");
    }

    BuiltModel built;
    SamText sam;
    FeatureCounts counts;
};

} // namespace

TEST_F(AssignFeature, SenseAntisenseIntronAndIntergenic) {
    EXPECT_EQ(assign(0, "chr1", 1010, "50M"), "A");
    EXPECT_EQ(counts.ambiguous + counts.introns + counts.intergenic, 0u); // single exon: no count
    EXPECT_EQ(assign(16, "chr1", 1010, "50M"), "__antisense_exons_A");
    EXPECT_EQ(assign(0, "chr1", 1200, "50M"), "__introns_A");
    EXPECT_EQ(assign(16, "chr1", 1200, "50M"), "__antisense_introns_A");
    EXPECT_EQ(assign(16, "chr1", 5010, "50M"), "R");
    EXPECT_EQ(assign(0, "chr1", 5010, "50M"), "__antisense_exons_R");
    EXPECT_EQ(assign(0, "chr1", 8000, "50M"), "__intergenic");
    EXPECT_EQ(counts.antisenseExons, 2u);
    EXPECT_EQ(counts.introns, 1u);
    EXPECT_EQ(counts.antisenseIntrons, 1u);
    EXPECT_EQ(counts.intergenic, 1u);
}

TEST_F(AssignFeature, AmbiguityPerStep) {
    EXPECT_EQ(assign(0, "chr1", 2060, "20M"), "__ambiguous[A+B]");
    EXPECT_EQ(counts.ambiguous, 1u);
    // Intron of A and of nested C, no exon of either.
    EXPECT_EQ(assign(0, "chr1", 1600, "20M"), "__ambiguous"
                                              "introns_[A+C]");
    EXPECT_EQ(counts.introns, 1u);
    EXPECT_EQ(assign(16, "chr1", 2060, "20M"), "__ambiguous"
                                               "antisense_exons_[A+B]");
    EXPECT_EQ(assign(16, "chr1", 1600, "20M"), "__ambiguous"
                                               "antisense_introns_[A+C]");
    EXPECT_EQ(counts.antisenseExons, 1u);
    EXPECT_EQ(counts.antisenseIntrons, 1u);
    // Two blocks in exons of different genes pool their labels; a splice over gene C adds none.
    EXPECT_EQ(assign(0, "chr1", 1080, "20M1010N20M"), "__ambiguous[A+B]");
    EXPECT_EQ(assign(0, "chr1", 1080, "20M900N20M"), "A");
}

TEST_F(AssignFeature, UnalignedUnknownAndPaddingReferences) {
    EXPECT_EQ(assign(4, "chr1", 1010, "50M"), "__not_aligned");
    EXPECT_EQ(assign(0, "chrM", 10, "50M"), "__no_feature");
    EXPECT_EQ(assign(0, "STARReferenceCPadding", 10, "50M"), "__not_aligned");
    EXPECT_EQ(counts.notAligned, 2u);
    EXPECT_EQ(counts.noFeature, 1u);
    // Mapped records whose reference id names no header reference.
    for (int tid : {-1, 99}) {
        bam1_t* record = sam.aligned(0, "chr1", 10, "50M");
        record->core.tid = tid;
        built.model->assignFeature(counts, record, sam.header());
        EXPECT_EQ(stringTag(record, "XF"), "__no_feature");
    }
    EXPECT_EQ(counts.noFeature, 3u);
}

TEST_F(AssignFeature, FlagsOtherThanUnmappedAndReverseAreIgnored) {
    EXPECT_EQ(assign(256, "chr1", 1010, "50M"), "A");
    EXPECT_EQ(assign(2048 | 16, "chr1", 5010, "50M"), "R");
    EXPECT_EQ(assign(1024 | 512, "chr1", 1200, "50M"), "__introns_A");
}

TEST_F(AssignFeature, CigarWalkBlockCoordinates) {
    // pos 99 (0-based) with 10M covers [99, 108]: GTF start 110 is interval 109: no overlap;
    EXPECT_EQ(assign(0, "chr2", 99, "10M"), "__intergenic");
    // one more base reaches it.
    EXPECT_EQ(assign(0, "chr2", 100, "10M"), "E");
    // Soft clips and insertions do not move along the reference; deletions do.
    EXPECT_EQ(assign(0, "chr2", 90, "30S9M"), "__intergenic");
    EXPECT_EQ(assign(0, "chr2", 90, "5M14D1M"), "E");
    EXPECT_EQ(assign(0, "chr2", 90, "5M5I5M"), "__intergenic");
    EXPECT_EQ(assign(0, "chr2", 90, "5H5M15=5M"), "E");
    EXPECT_EQ(assign(0, "chr2", 90, "5M15X"), "__intergenic"); // = and X are not queried
    // Only soft clips and insertions on a known chromosome: intergenic.
    EXPECT_EQ(assign(0, "chr2", 150, "10S5I"), "__intergenic");
}

TEST_F(AssignFeature, ReadFeatureSetsOfOneStep) {
    bam1_t* spliced = sam.aligned(0, "chr1", 0, "5M100N5M");
    const StrandTrees& exons = built.model->featuresTrees().at("exon");
    EXPECT_TRUE(built.model->_getReadFeatures(spliced, "chr1", exons, false).empty());
    bam1_t* both = sam.aligned(16, "chr1", 2060, "20M");
    EXPECT_EQ(built.model->_getReadFeatures(both, "chr1", exons, true),
              (std::set<std::string>{"A", "B"}));
    EXPECT_TRUE(built.model->_getReadFeatures(both, "chr1", exons, false).empty());
    EXPECT_TRUE(built.model->_getReadFeatures(both, "chrM", exons, true).empty());
}

TEST_F(AssignFeature, ReplacesAnExistingTag) {
    bam1_t* record = sam.record("r\t0\tchr1\t1011\t255\t50M\t*\t0\t0\t*\t*\tXF:Z:stale\tNH:i:1");
    built.model->assignFeature(counts, record, sam.header());
    EXPECT_EQ(stringTag(record, "XF"), "A");
    EXPECT_NE(bam_aux_get(record, "NH"), nullptr);
}

TEST(AssignFeatureVdj, ScheduleOrderDecidesBetweenReceptorAndOtherGenes) {
    BuiltModel built(
        gtfLine("chr14", "gene", 1001, 2000, '+', geneAttributes("E1", "IGHV1-2", "IG_V_gene")) +
            gtfLine("chr14", "exon", 1001, 1200, '+',
                    geneAttributes("E1", "IGHV1-2", "IG_V_gene")) +
            gtfLine("chr14", "gene", 3001, 4000, '-', geneAttributes("E2", "IGHM", "IG_C_gene")) +
            gtfLine("chr14", "exon", 3001, 3200, '-', geneAttributes("E2", "IGHM", "IG_C_gene")) +
            gtfLine("chr14", "gene", 3001, 4000, '+', geneAttributes("E3", "OVERLAP")) +
            gtfLine("chr14", "exon", 3001, 3200, '+', geneAttributes("E3", "OVERLAP")),
        "human");
    SamText sam({"chr14:100000"});
    FeatureCounts counts;
    auto assign = [&](int flag, long pos0) {
        bam1_t* record = sam.aligned(flag, "chr14", pos0, "50M");
        built.model->assignFeature(counts, record, sam.header());
        return stringTag(record, "XF");
    };
    EXPECT_EQ(assign(0, 1010), "IGHV1-2|IGH_BVDJ");
    // Antisense to the constant region wins (step 2) over the sense exon of OVERLAP (step 4).
    EXPECT_EQ(assign(0, 3010), "__antisense_exons_IGHM|IGH_BReverseCONSTANTVDJ");
    EXPECT_EQ(assign(16, 3010), "IGHM|IGH_BReverseCONSTANTVDJ");
    EXPECT_EQ(assign(0, 1500), "__introns_IGHV1-2|IGH_BVDJ");
    EXPECT_EQ(assign(16, 1010), "__antisense_exons_IGHV1-2|IGH_BVDJ");
    EXPECT_EQ(assign(0, 9000), "__intergenic");
}

namespace {

// The XF value that the schedule defines, computed step by step through the trees themselves.
std::string referenceFeature(const FeatureAssigner& model, bam1_t* record,
                             const sam_hdr_t* header) {
    if (record->core.flag & BAM_FUNMAP)
        return "__not_aligned";
    const char* name = sam_hdr_tid2name(const_cast<sam_hdr_t*>(header), record->core.tid);
    if (!name)
        return "__no_feature";
    if (!model.chromosomes().count(name))
        return std::string(name) == "STARReferenceCPadding" ? "__not_aligned" : "__no_feature";
    for (const FeatureAnnotationStep& step : model.schedule()) {
        std::set<std::string> hits =
            model._getReadFeatures(record, name, *step.trees, step.antisense);
        if (hits.empty())
            continue;
        if (hits.size() == 1)
            return step.prefix == "exons" ? *hits.begin() : step.prefix + *hits.begin();
        std::string joined;
        for (const std::string& hit : hits)
            joined += (joined.empty() ? "" : "+") + hit;
        return "__ambiguous" + (step.prefix == "exons" ? "" : step.prefix.substr(2)) + "[" +
               joined + "]";
    }
    return "__intergenic";
}

std::string randomGtf(std::mt19937_64& random) {
    std::string gtf;
    const char* types[] = {"protein_coding", "IG_V_gene", "TR_C_gene", "lncRNA"};
    const char* names[] = {"GENE", "IGHV", "TRBC", "TRAC", "Igkc"};
    for (int g = 0; g < 400; ++g) {
        std::string chromosome = "chr" + std::to_string(1 + random() % 3);
        unsigned long start = 1 + random() % 200000, length = 200 + random() % 20000;
        char strand = "+-"[random() % 2];
        std::string name = std::string(names[random() % 5]) + std::to_string(random() % 300);
        std::string attributes =
            geneAttributes("ID" + std::to_string(g), name, types[random() % 4]);
        gtf += gtfLine(chromosome, "gene", start, start + length, strand, attributes);
        for (unsigned long e = start; e < start + length; e += 300 + random() % 3000)
            gtf += gtfLine(chromosome, "exon", e, std::min(e + 50 + random() % 400, start + length),
                           strand, attributes);
    }
    return gtf;
}

} // namespace

TEST(AssignFeatureEquivalence, FastLookupsMatchTheTreeWalkOfTheSchedule) {
    std::mt19937_64 random(2026);
    std::string gtf = randomGtf(random);
    for (const char* vdj : {"", "human", "mouse_tcr"}) {
        BuiltModel built(gtf, vdj);
        SamText sam({"chr1:300000", "chr2:300000", "chr3:300000", "chrUn:1000",
                     "STARReferenceCPadding:100"});
        FeatureCounts counts, batchCounts;
        std::vector<bam1_t*> batch;
        FeatureAssigner::HeaderIndex headerIndex = built.model->indexHeader(sam.header());
        const char ops[] = "MMMMNDISH=X";
        for (int r = 0; r < 20000; ++r) {
            std::string cigar;
            for (int k = 1 + random() % 4; k > 0; --k)
                cigar += std::to_string(1 + random() % (random() % 4 ? 80 : 5000)) +
                         ops[random() % (sizeof ops - 1)];
            static const int FLAGS[] = {0, 16, 4, 256, 272, 2048};
            const char* references[] = {"chr1", "chr2", "chr3", "chrUn", "STARReferenceCPadding"};
            bam1_t* record = sam.aligned(FLAGS[random() % 6], references[random() % 5],
                                         random() % 230000, cigar);
            built.model->assignFeature(counts, record, sam.header());
            ASSERT_EQ(stringTag(record, "XF"), referenceFeature(*built.model, record, sam.header()))
                << "VDJ '" << vdj << "' CIGAR " << cigar << " pos " << record->core.pos << " flag "
                << record->core.flag;
            batch.push_back(bam_dup1(record));
        }
        // The chunk path of the workers gives every record the same feature and the same counts.
        built.model->assignFeatures(batchCounts, batch.data(), batch.size(), headerIndex);
        for (size_t i = 0; i < batch.size(); ++i) {
            EXPECT_EQ(stringTag(batch[i], "XF"),
                      referenceFeature(*built.model, batch[i], sam.header()));
            bam_destroy1(batch[i]);
        }
        EXPECT_EQ(std::memcmp(&counts, &batchCounts, sizeof counts), 0);
    }
}

TEST(AssignFeatureEquivalence, CoordinatesBeyondThirtyTwoBits) {
    BuiltModel built(
        gtfLine("chrBig", "gene", 5000000001UL, 5000001000UL, '+', geneAttributes("G", "FAR")) +
        gtfLine("chrBig", "exon", 5000000001UL, 5000000100UL, '+', geneAttributes("G", "FAR")) +
        gtfLine("chrBig", "exon", 1001, 1100, '+', geneAttributes("N", "NEAR")));
    SamText sam({"chrBig:6000000000"});
    FeatureCounts counts;
    bam1_t* far = sam.aligned(0, "chrBig", 0, "50M");
    far->core.pos = 5000000010L;
    built.model->assignFeature(counts, far, sam.header());
    EXPECT_EQ(stringTag(far, "XF"), "FAR");
    far->core.pos = 5000000500L;
    built.model->assignFeature(counts, far, sam.header());
    EXPECT_EQ(stringTag(far, "XF"), "__introns_FAR");
    bam1_t* near = sam.aligned(0, "chrBig", 1010, "50M");
    built.model->assignFeature(counts, near, sam.header());
    EXPECT_EQ(stringTag(near, "XF"), "NEAR");
}
