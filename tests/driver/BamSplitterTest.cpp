// The real bamSplitter binary on BAMs written by the test.
#include <filesystem>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// n reads; read i has (i % 4 == 3 ? 3 : 1) records, with NH or without: a read is the records
// that share its name.
void writeReads(const std::string& path, int reads, bool withNh = true) {
    SamText sam({"chr1:10000"});
    std::vector<std::string> lines;
    for (int i = 0; i < reads; ++i) {
        int nh = i % 4 == 3 ? 3 : 1;
        for (int k = 0; k < nh; ++k)
            lines.push_back(samLine("r" + std::to_string(i), k ? 256 : 0, "chr1", 100 + i % 9000,
                                    "10M", withNh ? "NH:i:" + std::to_string(nh) : ""));
    }
    sam.writeBam(path, lines);
}

} // namespace

// Cuts at the first read boundary at or after the requested count, in input order, at most the
// requested number of fragments; with many blocks, cuts fall inside compressed blocks and whole
// blocks are copied between them.
TEST(BamSplitter, CutsAtReadBoundariesInInputOrder) {
    ScratchDir dir;
    writeReads("small.bam", 101);
    writeReads("large.bam", 30000);
    writeReads("nonh.bam", 6, false);
    SamText sam({"chr1:10000"});
    sam.writeBam("empty.bam", {});
    struct Case {
        const char* input;
        int perFragment, allowed, fragments;
    } cases[] = {{"small.bam", 20, 8, 8},   {"large.bam", 7001, 8, 7}, {"large.bam", 7001, 3, 3},
                 {"large.bam", 7001, 1, 1}, {"nonh.bam", 2, 3, 3},     {"empty.bam", 0, 2, 1}};
    for (const Case& c : cases) {
        std::string prefix =
            "out_" + std::to_string(c.perFragment) + "_" + std::to_string(c.allowed);
        ProcessResult result =
            runProcess({BAM_SPLITTER_BINARY, c.input, std::to_string(c.perFragment), prefix,
                        std::to_string(c.allowed)});
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::vector<std::string>> fragments; // prefix_1.bam, ... in order
        for (int k = 1; fs::exists(prefix + "_" + std::to_string(k) + ".bam"); ++k) {
            std::string name = prefix + "_" + std::to_string(k) + ".bam";
            EXPECT_EQ(runProcess({"samtools", "quickcheck", name}).status, 0) << name;
            fragments.push_back(readBamAsSam(name));
        }
        ASSERT_EQ(fragments.size(), static_cast<size_t>(c.fragments)) << prefix;
        std::vector<std::string> all;
        for (size_t k = 0; k < fragments.size(); ++k) {
            if (k + 1 < fragments.size()) { // the cut waits for the end of a read
                EXPECT_GE(fragments[k].size(), static_cast<size_t>(c.perFragment)) << prefix;
                EXPECT_LE(fragments[k].size(), static_cast<size_t>(c.perFragment) + 2) << prefix;
            }
            // A fragment starts with a read's first record.
            EXPECT_TRUE(fragments[k].empty() ||
                        fragments[k][0].find("\t0\tchr1") != std::string::npos)
                << prefix;
            all.insert(all.end(), fragments[k].begin(), fragments[k].end());
        }
        EXPECT_EQ(all, readBamAsSam(c.input)) << prefix;
    }
}

TEST(BamSplitter, BadInputsAndArgumentsFailWithNamedFiles) {
    ScratchDir dir;
    writeReads("in.bam", 3000);
    writeReads("large.bam", 40000);
    std::string bytes = readFile("large.bam");
    writeFile("cut.bam", bytes.substr(0, bytes.size() / 2));
    writeFile("head.bam", bytes.substr(0, 30));
    std::string damaged = bytes;
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 20; ++i)
        damaged[i] = static_cast<char>(~damaged[i]);
    writeFile("damaged.bam", damaged);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"in.bam", "10"}, 2, "Usage: bamSplitter"},
        {{"in.bam", "-5", "p", "2"}, 2, "-5"},
        {{"in.bam", "10", "p", "0"}, 2, "0"},
        {{"nope.bam", "10", "p", "2"}, 1, "nope.bam"},
        // Cut in the part decoded to find the cuts, and in the part copied without decoding.
        {{"cut.bam", "100", "t", "4096"}, 1, "cut.bam is truncated or corrupt"},
        {{"cut.bam", "100", "t", "2"}, 1, "cut.bam is truncated or corrupt"},
        {{"head.bam", "100", "h", "2"}, 1, "cannot read a BAM header from head.bam"},
        // A block that fails to decode in the threaded reader (exit 1, not a leak report).
        {{"damaged.bam", "5000", "d", "8"}, 1, "damaged.bam is truncated or corrupt"},
        {{"in.bam", "100", "no/dir/p", "2"}, 1, "no/dir/p_1.bam"},
    };
    for (Case& c : cases) {
        c.args.insert(c.args.begin(), BAM_SPLITTER_BINARY);
        ProcessResult result = runProcess(c.args);
        EXPECT_EQ(result.status, c.status) << c.args[1] << " " << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("LeakSanitizer"), std::string::npos) << result.err;
    }
}
