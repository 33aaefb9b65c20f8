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
    captureStderr([&] { parseRunParameters(static_cast<int>(args.size()), argv.data(), params); });
    gLogger.setLevel(main);
    gUtilLogger.setLevel(util);
    return params;
}

} // namespace

TEST(RunSetup, DefaultsWithOnlyTheRequiredOptions) {
    RunParameters p = parseArgs({});
    EXPECT_EQ(p.assay, WTA);
    EXPECT_EQ(p.metadataPath, "meta.json");
    EXPECT_EQ(p.gtfPath, "genes.gtf");
    EXPECT_EQ(p.transcriptLengthPath, "lengths.json");
    EXPECT_EQ(p.bamPaths, std::vector<std::string>{"a.bam"});
    EXPECT_EQ(p.qualityMetricsPath, "ReadQualityMetrics.json");
    EXPECT_EQ(p.umiOption, ABSEQ_UMI_ONLY);
    EXPECT_EQ(p.threads, static_cast<unsigned long>(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_FALSE(p.excludeIntronicReads);
    EXPECT_TRUE(p.extraFastaPaths.empty());
}

TEST(RunSetup, ListOptionsSplitAtCommasInCommandLineOrder) {
    RunParameters p = parseArgs({"--r2-bam", "b.bam,c.bam", "--r2-bam", "d.bam,", "--extra-seqs",
                                 "x.fa,,y.fa", "--exclude-intronic-reads", "--umi-option", "2",
                                 "--quality-metrics", "q.json", "--assay", "targeted"});
    EXPECT_EQ(p.bamPaths, (std::vector<std::string>{"a.bam", "b.bam", "c.bam", "d.bam"}));
    EXPECT_EQ(p.extraFastaPaths, (std::vector<std::string>{"x.fa", "", "y.fa"}));
    EXPECT_TRUE(p.excludeIntronicReads);
    EXPECT_EQ(p.umiOption, R1_AND_ABSEQ_UMI);
    EXPECT_EQ(p.qualityMetricsPath, "q.json");
    EXPECT_EQ(p.assay, Targeted);
    EXPECT_EQ(parseArgs({"--umi-option", "7"}).umiOption, ABSEQ_UMI_ONLY);
    EXPECT_EQ(parseArgs({"--umi-option", "x"}).umiOption, ABSEQ_UMI_ONLY);
    EXPECT_EQ(parseArgs({"--umi-option", "0"}).umiOption, R1_UMI_ONLY);
}

TEST(RunSetup, ThreadCountAndSemaphores) {
    std::string zero = "0", word = "many", empty = "", blank = "  12", big = "99999999999999999999",
                negative = "-1", three = "3";
    EXPECT_EQ(parseThreadCount(&zero), 1u);
    EXPECT_EQ(parseThreadCount(&word), 1u);
    EXPECT_EQ(parseThreadCount(&empty), 1u);
    EXPECT_EQ(parseThreadCount(&blank), 12u);
    EXPECT_EQ(parseThreadCount(&big), 1u);
    EXPECT_EQ(parseThreadCount(&negative), 1u);
    EXPECT_EQ(parseThreadCount(&three), 3u);

    EXPECT_EQ(semaphoreLimits(1), std::make_pair(1UL, 1UL));
    EXPECT_EQ(semaphoreLimits(8), std::make_pair(8UL, 8UL));
    EXPECT_EQ(semaphoreLimits(9), std::make_pair(6UL, 5UL));
    EXPECT_EQ(semaphoreLimits(12), std::make_pair(8UL, 7UL));
    EXPECT_EQ(semaphoreLimits(16), std::make_pair(10UL, 9UL));
    EXPECT_EQ(semaphoreLimits(~0UL).first, ~0UL / 3 * 2);

    parseArgs({"--threads", "16"});
    EXPECT_EQ(gReadSemaphore.load(), 10u);
    EXPECT_EQ(gWriteSemaphore.load(), 9u);
    EXPECT_EQ(parseArgs({"--threads", "0"}).threads, 1u);
    EXPECT_EQ(gReadSemaphore.load(), 1u);
}

TEST(RunSetup, MessageLevelReachesBothLoggers) {
    std::vector<std::string> args = {
        "ambrel", "--run-metadata",      "m", "--r2-bam",        "a",    "--assay", "WTA", "--gtf",
        "g",      "--transcript-length", "t", "--message-level", "debug"};
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    Logger::Level main = gLogger.getLevel(), util = gUtilLogger.getLevel();
    RunParameters p;
    captureStderr([&] { parseRunParameters(static_cast<int>(args.size()), argv.data(), p); });
    EXPECT_EQ(gLogger.getLevel(), Logger::DEBUG);
    EXPECT_EQ(gUtilLogger.getLevel(), Logger::DEBUG);
    gLogger.setLevel(main);
    gUtilLogger.setLevel(util);
    EXPECT_EQ(parseArgs({"--message-level", "loud"}).messageLevel, Logger::INFO);
}

TEST(RunSetup, UnsupportedAssayStopsTheRun) {
    for (const char* assay : {"ATAC", "rna", ""}) {
        try {
            parseArgs({"--assay", assay});
            FAIL() << assay;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Only WTA or Targeted assay types supported !");
        }
    }
}

TEST(RunSetup, MetadataKeys) {
    ScratchDir dir;
    RunParameters p;
    JsonValue metadata;
    writeFile("full.json", R"({"VDJ_Version":"human","Sample_Tags_Version":"hs",
        "Putative_Cell_Calling_Data":"VDJ","Run_Base_Name":"Run7"})");
    ASSERT_TRUE(loadRunMetadata("full.json", metadata, p));
    EXPECT_EQ(p.vdjVersion, "human");
    EXPECT_EQ(p.sampleTagsVersion, "hs");
    EXPECT_TRUE(p.vdjCellCalling);
    EXPECT_EQ(p.runBaseName, "Run7");

    RunParameters q;
    writeFile("odd.json", R"({"VDJ_Version":3,"Putative_Cell_Calling_Data":"mRNA"})");
    ASSERT_TRUE(loadRunMetadata("odd.json", metadata, q));
    EXPECT_EQ(q.vdjVersion, "");
    EXPECT_FALSE(q.vdjCellCalling);
    EXPECT_EQ(q.runBaseName, "null");

    RunParameters r;
    writeFile("array.json", "[1]");
    ASSERT_TRUE(loadRunMetadata("array.json", metadata, r));
    EXPECT_EQ(r.runBaseName, "null");
    captureStderr([&] { EXPECT_FALSE(loadRunMetadata("absent.json", metadata, r)); });
}

TEST(RunSetup, BamListTextAndLibraryNames) {
    EXPECT_EQ(bamListText({"a.bam", "b.bam"}), "[\n\t\t\"a.bam\",\n\t\t\"b.bam\",\n\t]");
    EXPECT_EQ(bamListText({}), "[\n\t]");
    // A name shorter than 8 characters stays whole.
    EXPECT_EQ(libraryNameFromBamPath("out/Run7_S1_L001_R2_001.fastq.gz", "Run7"), "S1");
    // "LibraryOne_Aligned" loses its last 8 characters.
    EXPECT_EQ(libraryNameFromBamPath("Run7_LibraryOne_Aligned.sortedByCoord.out.bam", "Run7"),
              "LibraryOne");
    // "null" base name: five characters are cut.
    EXPECT_EQ(libraryNameFromBamPath("xxxxxSampleName12345678.a.b", "null"), "SampleName");
    try {
        libraryNameFromBamPath("dir/Run", "Run7");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("\"dir/Run\""), std::string::npos) << e.what();
    }
    EXPECT_THROW(checkBamFileNames({"Run7_long_enough.bam", "x"}, "Run7"), std::invalid_argument);
    EXPECT_NO_THROW(checkBamFileNames({"Run7_"}, "Run7"));
}
