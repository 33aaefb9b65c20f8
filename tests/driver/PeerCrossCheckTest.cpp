// Ambrel's gene features against an independent counter, htseq-count, on a generated dataset at
// human gene density.
#include <gtest/gtest.h>
#include <map>

#include "DatasetGenerator.h"
#include "TestSupport.h"
#include "driver/RunChecks.h"
#include "support/Utilities.h"

namespace {

struct SamRecord {
    std::string name, feature; // name up to its first ';'
    bool comparable = true;    // mapped, primary, NH 1, CIGAR of M, N, S, I and D only
};

SamRecord parseSam(const std::string& line) {
    std::vector<std::string> fields = strSplit(line, '\t');
    SamRecord r{fields[0].substr(0, fields[0].find(';')), ""};
    r.comparable = !(std::stoi(fields[1]) & (4 | 256 | 2048)) && fields[5] != "*" &&
                   fields[5].find_first_not_of("0123456789MNSID") == std::string::npos;
    for (size_t k = 11; k < fields.size(); ++k) {
        if (strStartsWith(fields[k], "XF:Z:"))
            r.feature = fields[k].substr(5);
        if (strStartsWith(fields[k], "NH:i:") && fields[k] != "NH:i:1")
            r.comparable = false;
    }
    return r;
}

} // namespace

// Where htseq-count names a gene or an ambiguous set, Ambrel's XF is the same; where it finds no
// feature, Ambrel's XF is one of the later steps of its schedule.
TEST(PeerCrossCheck, FeaturesAgreeWithHtseqCount) {
    AMBREL_SKIP_UNLESS(!findProgram("htseq-count").empty(),
                       "htseq-count is not installed (Debian: python3-htseq)");
    // Human gene density on a 1% genome: 600 genes, overlapping on both strands.
    RunInputs inputs;
    GeneratedAnnotation annotation = generateAnnotation(600, 7, 0.01);
    inputs.gtf = inputs.dir.file("genes.gtf");
    writeGtf(annotation, inputs.gtf);
    std::string bam = inputs.dir.file("Demo_Sample1_Aligned.out.bam");
    writeReadsBam(annotation, bam, 20000, 11);
    inputs.bams = {"Demo_Sample1_Aligned.out.bam"};
    // The demo's metadata without a VDJ version: the generated genes include receptor genes.
    inputs.metadata =
        inputs.write("meta.json", R"({"Run_Base_Name": "Demo", "Output_Header": []})");
    ProcessResult ambrel = inputs.run(inputs.dir.file("run"));
    ASSERT_EQ(ambrel.status, 0) << ambrel.err;
    std::map<std::string, std::string> ours; // read name -> XF
    for (const std::string& line : splitLines(
             runProcess({"sh", "-c", "samtools cat run/Sample1.annotated.*.bam | samtools view"},
                        inputs.dir.path())
                 .out)) {
        SamRecord r = parseSam(line);
        if (r.comparable)
            ours[r.name] = r.feature;
    }
    ASSERT_GT(ours.size(), 10000u);

    std::vector<std::string> args = words("htseq-count -f bam -r name -s yes -t exon -i gene_name "
                                          "-m union --nonunique none -a 0 -o");
    args.insert(args.end(), {inputs.dir.file("htseq.sam"), bam, inputs.gtf});
    ProcessResult htseq = runProcess(args);
    ASSERT_EQ(htseq.status, 0) << htseq.err;
    std::map<std::string, size_t> kinds; // of htseq-count's answers compared
    size_t disagreements = 0;
    for (const std::string& line : splitLines(readFile(inputs.dir.file("htseq.sam")))) {
        if (line.empty() || line[0] == '@')
            continue;
        SamRecord peer = parseSam(line);
        auto found = ours.find(peer.name);
        if (found == ours.end() || !peer.comparable || strStartsWith(peer.feature, "__too_low") ||
            strStartsWith(peer.feature, "__alignment_not") || peer.feature == "__not_aligned")
            continue;
        const std::string& feature = found->second;
        bool agree = feature == peer.feature;
        if (peer.feature == "__no_feature") // any later step: introns, antisense, intergenic
            agree = strStartsWith(feature, "__") && !strStartsWith(feature, "__ambiguous[");
        ++kinds[strStartsWith(peer.feature, "__") ? peer.feature.substr(0, 6) : "gene"];
        if (!agree && ++disagreements <= 20)
            ADD_FAILURE() << line << "\nhtseq-count " << peer.feature << ", ambrel " << feature;
    }
    EXPECT_EQ(disagreements, 0u);
    // The comparison covered every kind of answer.
    EXPECT_GT(kinds["gene"], 5000u);
    EXPECT_GT(kinds["__ambi"], 10u);
    EXPECT_GT(kinds["__no_f"], 1000u);
}
