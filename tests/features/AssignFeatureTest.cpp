#include <cstring>
#include <gtest/gtest.h>
#include <random>

#include "TestSupport.h"
#include "annotation/BamRecord.h"
#include "support/Utilities.h"

namespace {

class AssignFeature : public testing::Test {
protected:
    AssignFeature() : built(standardGtf(true), "human"), sam(standardReferences()) {}

    // The feature of a record that comes with a stale one; the other tags stay.
    std::string assign(int flag, const std::string& ref, long pos0, const std::string& cigar) {
        bam1_t* record = sam.record(samLine("r", flag, ref, pos0 + 1, cigar, "XF:Z:old\tNH:i:1"));
        built.model->assignFeature(counts, record, sam.header());
        return getStringTag(record, "XF") + (getIntegerTag(record, "NH", 0) == 1 ? "" : " lost NH");
    }

    BuiltModel built;
    SamText sam;
    FeatureCounts counts;
};

struct Case {
    int flag;
    const char* reference;
    long pos0;
    const char* cigar;
    const char* feature;
};

} // namespace

// Each step of the schedule, its ambiguity, the CIGAR walk's block coordinates and the flags that
// matter (unmapped, reverse) and those that do not.
TEST_F(AssignFeature, ScheduleOutcomes) {
    const Case cases[] = {
        {0, "chr1", 1010, "50M", "A"},
        {16, "chr1", 1010, "50M", "__antisense_exons_A"},
        {0, "chr1", 1200, "50M", "__introns_A"},
        {16, "chr1", 1200, "50M", "__antisense_introns_A"},
        {16, "chr1", 5010, "50M", "R"},
        {0, "chr1", 5010, "50M", "__antisense_exons_R"},
        {0, "chr1", 8000, "50M", "__intergenic"},
        {0, "chr1", 2060, "20M", "__ambiguous[A+B]"},
        {0, "chr1", 1600, "20M", "__ambiguousintrons_[A+C]"},
        {16, "chr1", 2060, "20M", "__ambiguousantisense_exons_[A+B]"},
        {16, "chr1", 1600, "20M", "__ambiguousantisense_introns_[A+C]"},
        // Two blocks in exons of different genes pool their labels; a splice over C adds none.
        {0, "chr1", 1080, "20M1010N20M", "__ambiguous[A+B]"},
        {0, "chr1", 1080, "20M900N20M", "A"},
        {4, "chr1", 1010, "50M", "__not_aligned"},
        {0, "chrM", 10, "50M", "__no_feature"},
        {0, "STARReferenceCPadding", 10, "50M", "__not_aligned"},
        {256, "chr1", 1010, "50M", "A"},
        {2048 | 16, "chr1", 5010, "50M", "R"},
        {1024 | 512, "chr1", 1200, "50M", "__introns_A"},
        // pos 99 with 10M covers [99, 108]; GTF start 110 is 109: no overlap; one more base is.
        {0, "chr2", 99, "10M", "__intergenic"},
        {0, "chr2", 100, "10M", "E"},
        // Soft clips and insertions do not move along the reference; deletions do; = and X are
        // not queried.
        {0, "chr2", 90, "30S9M", "__intergenic"},
        {0, "chr2", 90, "5M14D1M", "E"},
        {0, "chr2", 90, "5M5I5M", "__intergenic"},
        {0, "chr2", 90, "5H5M15=5M", "E"},
        {0, "chr2", 90, "5M15X", "__intergenic"},
        {0, "chr2", 150, "10S5I", "__intergenic"},
        // Receptor steps come first: antisense to a constant region beats a sense exon.
        {0, "chr14", 1010, "50M", "IGHV1-2|IGH_BVDJ"},
        {0, "chr14", 3010, "50M", "__antisense_exons_IGHM|IGH_BReverseCONSTANTVDJ"},
        {16, "chr14", 3010, "50M", "IGHM|IGH_BReverseCONSTANTVDJ"},
        {0, "chr14", 1500, "50M", "__introns_IGHV1-2|IGH_BVDJ"},
        {16, "chr14", 1010, "50M", "__antisense_exons_IGHV1-2|IGH_BVDJ"},
        {0, "chr14", 7010, "50M", "TRAV1|TRA_TVDJ"},
        {0, "chr14", 9000, "50M", "__intergenic"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(assign(c.flag, c.reference, c.pos0, c.cigar), c.feature)
            << c.flag << " " << c.reference << ":" << c.pos0 << " " << c.cigar;
    // Mapped records whose reference id names no header reference.
    for (int tid : {-1, 99}) {
        bam1_t* record = sam.aligned(0, "chr1", 10, "50M");
        record->core.tid = tid;
        built.model->assignFeature(counts, record, sam.header());
        EXPECT_EQ(getStringTag(record, "XF"), "__no_feature");
    }
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
            model.getReadFeatures(record, name, *step.trees, step.antisense);
        if (hits.empty())
            continue;
        if (hits.size() == 1)
            return step.prefix == "exons" ? *hits.begin() : step.prefix + *hits.begin();
        return "__ambiguous" + (step.prefix == "exons" ? "" : step.prefix.substr(2)) + "[" +
               strJoin(std::vector<std::string>(hits.begin(), hits.end()), "+") + "]";
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
        std::vector<std::string> expected;
        FeatureAssigner::HeaderIndex headerIndex = built.model->indexHeader(sam.header());
        const char ops[] = "MMMMNDISH=X";
        for (int r = 0; r < 20000; ++r) {
            std::string cigar;
            for (int k = 1 + random() % 4; k > 0; --k)
                cigar += std::to_string(1 + random() % (random() % 4 ? 80 : 5000)) +
                         ops[random() % (sizeof ops - 1)];
            static const int FLAGS[] = {0, 16, 4, 256, 272, 2048};
            const char* references[] = {"chr1", "chr2", "chr3", "chrUn", "STARReferenceCPadding"};
            int flag = FLAGS[random() % 6];
            const char* reference = references[random() % 5];
            long pos = random() % 230000;
            bam1_t* record = sam.aligned(flag, reference, pos, cigar);
            batch.push_back(sam.aligned(flag, reference, pos, cigar));
            built.model->assignFeature(counts, record, sam.header());
            expected.push_back(referenceFeature(*built.model, record, sam.header()));
            ASSERT_EQ(getStringTag(record, "XF"), expected.back())
                << "VDJ '" << vdj << "' " << flag << " " << reference << ":" << pos << " " << cigar;
        }
        // The chunk path of the workers gives every record the same feature and the same counts.
        built.model->assignFeatures(batchCounts, batch.data(), batch.size(), headerIndex);
        for (size_t i = 0; i < batch.size(); ++i)
            EXPECT_EQ(getStringTag(batch[i], "XF"), expected[i]);
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
    EXPECT_EQ(getStringTag(far, "XF"), "FAR");
    far->core.pos = 5000000500L;
    built.model->assignFeature(counts, far, sam.header());
    EXPECT_EQ(getStringTag(far, "XF"), "__introns_FAR");
    bam1_t* near = sam.aligned(0, "chrBig", 1010, "50M");
    built.model->assignFeature(counts, near, sam.header());
    EXPECT_EQ(getStringTag(near, "XF"), "NEAR");
}
