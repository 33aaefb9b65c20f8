#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

#include "TestSupport.h"
#include "annotation/Semaphore.h"
#include "driver/RunSetup.h"

namespace {

RunParameters parseArgs(std::vector<std::string> extra) {
    std::vector<std::string> args = {
        "ambrel", "--run-metadata", "meta.json",           "--r2-bam",    "a.bam", "--assay", "WTA",
        "--gtf",  "genes.gtf",      "--transcript-length", "lengths.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    RunParameters params;
    Logger::Level main = gLogger.getLevel(), util = gUtilLogger.getLevel();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(parseRunParameters(static_cast<int>(args.size()), argv.data(), params));
    testing::internal::GetCapturedStderr();
    gLogger.setLevel(main);
    gUtilLogger.setLevel(util);
    return params;
}

} // namespace

TEST(RunSetup, DefaultsAndListOptions) {
    // Commas and several words (a shell glob), a value that begins with a single dash.
    RunParameters p =
        parseArgs({"--r2-bam", "b.bam,c.bam", "-d.bam", "--r2-bam", "e.bam,", "--extra-seqs",
                   "x.fa,,y.fa", "z.fa", "--exclude-intronic-reads", "--umi-option", "2"});
    EXPECT_EQ(p.bamPaths, (std::vector<std::string>{"a.bam", "b.bam", "c.bam", "-d.bam", "e.bam"}));
    EXPECT_EQ(p.extraFastaPaths, (std::vector<std::string>{"x.fa", "", "y.fa", "z.fa"}));
    EXPECT_TRUE(p.excludeIntronicReads);
    EXPECT_EQ(p.umiOption, R1_AND_ABSEQ_UMI);
    EXPECT_EQ(parseArgs({"--message-level", "loud"}).messageLevel, Logger::INFO);
}

TEST(RunSetup, ThreadCountAndSemaphores) {
    for (std::string text : {"1", "12", "4096"})
        EXPECT_EQ(parseThreadCount(&text), std::stoul(text));
    for (std::string text : {"0", "four", "", " 12", "-1", "+2", "4097", "99999999999999999999"})
        EXPECT_THROW(parseThreadCount(&text), std::invalid_argument) << "'" << text << "'";
    const std::pair<unsigned long, std::pair<unsigned long, unsigned long>> limits[] = {
        {1, {1, 1}}, {8, {8, 8}}, {9, {6, 5}}, {12, {8, 7}}, {16, {10, 9}}};
    for (const auto& [threads, expected] : limits)
        EXPECT_EQ(semaphoreLimits(threads), expected) << threads;
    EXPECT_EQ(semaphoreLimits(~0UL).first, ~0UL / 3 * 2);
    parseArgs({"--threads", "16"});
    EXPECT_EQ(gReadSemaphore.count, 10u);
    EXPECT_EQ(gWriteSemaphore.count, 9u);
}

TEST(RunSetup, LibraryNamesFromBamPaths) {
    // A name shorter than 8 characters stays whole.
    EXPECT_EQ(libraryNameFromBamPath("out/Run7_S1_L001_R2_001.fastq.gz", "Run7"), "S1");
    // "LibraryOne_Aligned" loses its last 8 characters.
    EXPECT_EQ(libraryNameFromBamPath("Run7_LibraryOne_Aligned.sortedByCoord.out.bam", "Run7"),
              "LibraryOne");
    EXPECT_EQ(libraryNameFromBamPath("Run7_SampleAB.out.bam", "Run7"), ""); // exactly 8 characters
    // "null" base name: five characters are cut.
    EXPECT_EQ(libraryNameFromBamPath("xxxxxSampleName12345678.a.b", "null"), "SampleName");
    EXPECT_THROW(checkBamFileNames({"Run7_long_enough.bam", "x"}, "Run7"), std::invalid_argument);
    EXPECT_NO_THROW(checkBamFileNames({"Run7_"}, "Run7"));
}
