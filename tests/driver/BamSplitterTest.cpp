// The real bamSplitter binary on BAMs written by the test.
#include <filesystem>
#include <gtest/gtest.h>
#include <map>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// n reads; read i has (i % 4 == 3 ? 3 : 1) records. Returns the records written.
size_t writeReads(SamText& sam, const std::string& path, int reads) {
    std::vector<bam1_t*> records;
    for (int i = 0; i < reads; ++i) {
        int nh = i % 4 == 3 ? 3 : 1;
        for (int k = 0; k < nh; ++k)
            records.push_back(sam.record("r" + std::to_string(i) + "\t" + (k ? "256" : "0") +
                                         "\tchr1\t" + std::to_string(100 + i) +
                                         "\t255\t10M\t*\t0\t0\t*\t*\tNH:i:" + std::to_string(nh)));
    }
    writeBam(path, sam, records);
    return records.size();
}

std::vector<std::string> fragmentsOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(BamSplitter, CutsAtReadBoundariesInInputOrder) {
    ScratchDir dir;
    SamText sam({"chr1:10000"});
    size_t records = writeReads(sam, "in.bam", 101);
    fs::create_directory("frags");
    ProcessResult result = runProcess({BAM_SPLITTER_BINARY, "in.bam", "20", "frags/part", "8"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> names = fragmentsOf("frags");
    ASSERT_GE(names.size(), 5u);
    std::map<std::string, int> seen;
    std::vector<std::string> all;
    for (size_t k = 1; k <= names.size(); ++k) {
        std::string name = "frags/part_" + std::to_string(k) + ".bam";
        std::vector<std::string> lines = readBamAsSam(name);
        if (k < names.size()) {
            EXPECT_GE(lines.size(), 20u);
            EXPECT_LE(lines.size(), 22u); // the cut waits for the end of a read
        }
        // A fragment starts with a read's first record.
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].find("\t0\tchr1"), std::string::npos) << name << ": " << lines[0];
        all.insert(all.end(), lines.begin(), lines.end());
    }
    ASSERT_EQ(all.size(), records);
    std::vector<std::string> original = readBamAsSam("in.bam");
    EXPECT_EQ(all, original);
}

TEST(BamSplitter, EmptyInputGivesOneHeaderOnlyFragment) {
    ScratchDir dir;
    SamText sam({"chr1:10000"});
    writeBam("empty.bam", sam, {});
    ProcessResult result = runProcess({BAM_SPLITTER_BINARY, "empty.bam", "0", "out", "2"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::exists("out_1.bam"));
    EXPECT_FALSE(fs::exists("out_2.bam"));
    EXPECT_TRUE(readBamAsSam("out_1.bam").empty());
}

TEST(BamSplitter, RecordsWithoutNhAreOneRecordReads) {
    ScratchDir dir;
    SamText sam({"chr1:10000"});
    std::vector<bam1_t*> records;
    for (int i = 0; i < 6; ++i)
        records.push_back(
            sam.record("r" + std::to_string(i) + "\t0\tchr1\t100\t255\t10M\t*\t0\t0\t*\t*"));
    writeBam("in.bam", sam, records);
    ProcessResult result = runProcess({BAM_SPLITTER_BINARY, "in.bam", "2", "f", "3"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(readBamAsSam("f_" + std::to_string(k) + ".bam").size(), 2u);
}

TEST(BamSplitter, BadInputsAndArgumentsFailWithNamedFiles) {
    ScratchDir dir;
    SamText sam({"chr1:10000"});
    writeReads(sam, "in.bam", 3000);
    ProcessResult usage = runProcess({BAM_SPLITTER_BINARY, "in.bam", "10"});
    EXPECT_NE(usage.status, 0);
    EXPECT_NE(usage.err.find("Usage: bamSplitter"), std::string::npos);
    for (std::vector<std::string> args : {std::vector<std::string>{"in.bam", "-5", "p", "2"},
                                          {"in.bam", "ten", "p", "2"},
                                          {"in.bam", "10", "p", "0"}}) {
        args.insert(args.begin(), BAM_SPLITTER_BINARY);
        ProcessResult bad = runProcess(args);
        EXPECT_EQ(bad.status, 2) << args[2] << " " << args[4];
    }
    ProcessResult missing = runProcess({BAM_SPLITTER_BINARY, "nope.bam", "10", "p", "2"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nope.bam"), std::string::npos);

    // Cut inside the records (a large BAM has many blocks) and inside the header.
    writeReads(sam, "large.bam", 40000);
    std::string bytes = readFile("large.bam");
    writeFile("cut.bam", bytes.substr(0, bytes.size() / 2));
    // Cut in the part decoded to find the cuts, and in the part copied without decoding.
    for (const char* fragments : {"4096", "2"}) {
        ProcessResult truncated =
            runProcess({BAM_SPLITTER_BINARY, "cut.bam", "100", "t", fragments});
        EXPECT_EQ(truncated.status, 1);
        EXPECT_NE(truncated.err.find("cut.bam is truncated or corrupt"), std::string::npos)
            << truncated.err;
    }
    writeFile("head.bam", bytes.substr(0, 30));
    ProcessResult header = runProcess({BAM_SPLITTER_BINARY, "head.bam", "100", "h", "2"});
    EXPECT_EQ(header.status, 1);
    EXPECT_NE(header.err.find("cannot read a BAM header from head.bam"), std::string::npos)
        << header.err;

    ProcessResult unwritable = runProcess({BAM_SPLITTER_BINARY, "in.bam", "100", "no/dir/p", "2"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("no/dir/p_1.bam"), std::string::npos);
}

TEST(BamSplitter, FragmentsOfAManyBlockInputAreWholeBamFiles) {
    // Cuts fall inside compressed blocks, and whole blocks are copied as they are between them.
    ScratchDir dir;
    SamText sam({"chr1:10000"});
    size_t records = writeReads(sam, "large.bam", 30000);
    std::vector<std::string> original = readBamAsSam("large.bam");
    // 45000 records in cuts of at least 7001: 7 fragments when 8 are allowed. With 3 allowed, or
    // 1, the last fragment takes the rest without being decoded.
    for (auto [count, expected] : {std::pair<int, int>{8, 7}, {3, 3}, {1, 1}}) {
        std::string prefix = "big" + std::to_string(count);
        ProcessResult result =
            runProcess({BAM_SPLITTER_BINARY, "large.bam", "7001", prefix, std::to_string(count)});
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> all;
        int fragments = 0;
        for (int k = 1; fs::exists(prefix + "_" + std::to_string(k) + ".bam"); ++k, ++fragments) {
            std::string name = prefix + "_" + std::to_string(k) + ".bam";
            ProcessResult check = runProcess({"samtools", "quickcheck", "-v", name});
            EXPECT_EQ(check.status, 0) << name << ": " << check.out << check.err;
            std::vector<std::string> lines = readBamAsSam(name);
            if (k < expected) {
                EXPECT_LE(lines.size(), 7003u) << name;
            }
            all.insert(all.end(), lines.begin(), lines.end());
        }
        EXPECT_EQ(fragments, expected) << count;
        ASSERT_EQ(all.size(), records) << count;
        EXPECT_EQ(all, original) << count;
    }
}
