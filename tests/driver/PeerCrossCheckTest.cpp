// Ambrel's gene features against two independent counters, htseq-count and featureCounts, on a
// generated dataset at human gene density.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>

#include "DatasetGenerator.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct SamRecord {
    std::string name, flag, reference, pos, cigar, feature;
    long nh = 1;
};

SamRecord parseSam(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        fields.push_back(field);
    SamRecord r{fields[0], fields[1], fields[2], fields[3], fields[5], ""};
    for (size_t k = 11; k < fields.size(); ++k) {
        if (fields[k].rfind("XF:Z:", 0) == 0)
            r.feature = fields[k].substr(5);
        if (fields[k].rfind("NH:i:", 0) == 0)
            r.nh = std::stol(fields[k].substr(5));
    }
    return r;
}

bool simpleCigar(const std::string& cigar) {
    if (cigar == "*")
        return false;
    for (char c : cigar)
        if (std::isalpha(static_cast<unsigned char>(c)) &&
            std::string("MNSID").find(c) == std::string::npos)
            return false;
    return true;
}

// A mapped, primary, uniquely aligned record with a plain CIGAR: what both peers judge alike.
bool comparable(const SamRecord& r) {
    int flag = std::stoi(r.flag);
    return !(flag & (4 | 256 | 2048)) && r.nh == 1 && simpleCigar(r.cigar);
}

bool toolAvailable(const char* tool) {
    return runProcess({"sh", "-c", std::string("command -v ") + tool}).status == 0;
}

class PeerCrossCheck : public testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"htseq-count", "featureCounts"})
            if (!toolAvailable(tool))
                GTEST_SKIP() << tool << " is not installed (Debian: python3-htseq, subread)";
        // Human gene density on a 1% genome: 600 genes, overlapping on both strands.
        GeneratedAnnotation annotation = generateAnnotation(600, 7, 0.01);
        inputs.gtf = inputs.dir.file("genes.gtf");
        writeGtf(annotation, inputs.gtf);
        writeReadsBam(annotation, inputs.dir.file("Demo_Lib_Aligned.out.bam"), 20000, 11);
        inputs.bams = {"Demo_Lib_Aligned.out.bam"};
        inputs.metadata =
            inputs.write("meta.json", R"({"Run_Base_Name": "Demo", "Output_Header": []})");
        std::string entry = qualityEntry(20000, 20000);
        inputs.quality =
            inputs.write("quality.json", "{\"Read Quality Metrics\": {\"Lib\": " + entry +
                                             ", \"Combined_stats\": " + entry + "}}");
        ProcessResult ambrel = inputs.run(inputs.dir.file("run"));
        ASSERT_EQ(ambrel.status, 0) << ambrel.err;
        for (const std::string& line : annotatedRecords(inputs.dir.file("run"), "Lib")) {
            SamRecord r = parseSam(line);
            if (comparable(r))
                ambrelFeatures[r.name] = r;
        }
        ASSERT_GT(ambrelFeatures.size(), 10000u);
    }

    RunInputs inputs;
    std::map<std::string, SamRecord> ambrelFeatures; // stripped read name -> record
};

std::string strippedName(const std::string& name) {
    return name.substr(0, name.find(';'));
}

} // namespace

TEST_F(PeerCrossCheck, FeaturesAgreeWithHtseqCount) {
    std::vector<std::string> args = words("htseq-count -f bam -r name -s yes -t exon -i gene_name "
                                          "-m union --nonunique none -a 0 -o");
    args.insert(args.end(), {inputs.dir.file("htseq.sam"),
                             inputs.dir.file("Demo_Lib_Aligned.out.bam"), inputs.gtf});
    ProcessResult htseq = runProcess(args, inputs.dir.path());
    ASSERT_EQ(htseq.status, 0) << htseq.err;
    const std::vector<std::string> laterSteps =
        words("__introns_ __antisense_exons_ __antisense_introns_ __intergenic __no_feature "
              "__ambiguousintrons_ __ambiguousantisense_exons_ __ambiguousantisense_introns_");
    size_t compared = 0, genes = 0, ambiguous = 0, noFeature = 0, disagreements = 0;
    for (const std::string& line : splitLines(readFile(inputs.dir.file("htseq.sam")))) {
        if (line.empty() || line[0] == '@')
            continue;
        SamRecord peer = parseSam(line);
        auto ours = ambrelFeatures.find(strippedName(peer.name));
        if (ours == ambrelFeatures.end() || !comparable(peer))
            continue; // secondary, unmapped or multi-mapped: not compared
        if (peer.feature.rfind("__too_low_aQual", 0) == 0 ||
            peer.feature.rfind("__alignment_not_unique", 0) == 0 ||
            peer.feature.rfind("__not_aligned", 0) == 0)
            continue;
        ++compared;
        const std::string& feature = ours->second.feature;
        bool agree;
        if (peer.feature == "__no_feature") {
            ++noFeature;
            agree = std::any_of(laterSteps.begin(), laterSteps.end(),
                                [&](const std::string& p) { return feature.rfind(p, 0) == 0; });
        } else {
            peer.feature.rfind("__ambiguous", 0) == 0 ? ++ambiguous : ++genes;
            agree = feature == peer.feature;
        }
        if (!agree && ++disagreements <= 20)
            ADD_FAILURE() << "read " << peer.name << " " << peer.flag << " " << peer.reference
                          << ":" << peer.pos << " " << peer.cigar << ": htseq-count "
                          << peer.feature << ", ambrel " << feature;
    }
    EXPECT_EQ(disagreements, 0u);
    // The comparison covered every kind of answer.
    EXPECT_GT(compared, 10000u);
    EXPECT_GT(genes, 5000u);
    EXPECT_GT(ambiguous, 10u);
    EXPECT_GT(noFeature, 1000u);
}

TEST_F(PeerCrossCheck, GeneCountsAgreeWithFeatureCounts) {
    ProcessResult fc =
        runProcess({"featureCounts", "-a", inputs.gtf, "-o", inputs.dir.file("fc.txt"), "-s", "1",
                    "-t", "exon", "-g", "gene_name", inputs.dir.file("Demo_Lib_Aligned.out.bam")},
                   inputs.dir.path());
    ASSERT_EQ(fc.status, 0) << fc.err;
    std::map<std::string, unsigned long> theirs, ours;
    for (const std::string& line : splitLines(readFile(inputs.dir.file("fc.txt")))) {
        if (line.empty() || line[0] == '#' || line.rfind("Geneid", 0) == 0)
            continue;
        std::string gene = line.substr(0, line.find('\t'));
        unsigned long count = std::stoul(line.substr(line.rfind('\t') + 1));
        if (count)
            theirs[gene] = count;
    }
    for (const auto& entry : ambrelFeatures)
        if (entry.second.feature.rfind("__", 0) != 0)
            ++ours[entry.second.feature];
    ASSERT_GT(ours.size(), 100u);
    size_t disagreements = 0;
    std::set<std::string> genes;
    for (const auto& entry : theirs)
        genes.insert(entry.first);
    for (const auto& entry : ours)
        genes.insert(entry.first);
    for (const std::string& gene : genes)
        if (ours[gene] != theirs[gene] && ++disagreements <= 20)
            ADD_FAILURE() << "gene " << gene << ": featureCounts " << theirs[gene] << ", ambrel "
                          << ours[gene];
    EXPECT_EQ(disagreements, 0u);
}
