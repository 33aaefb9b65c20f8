#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

#include "TestSupport.h"
#include "support/LibraryName.h"
#include "support/Logger.h"

TEST(LibraryName, FromFileNames) {
    EXPECT_EQ(getLibraryName("lib_Aligned.sortedByCoord.out.bam"), "lib_Aligned");
    EXPECT_EQ(getLibraryName("path/to/S1_L001_R1_001.fastq.gz"), "S1");
    EXPECT_EQ(getLibraryName("...x.y.z"), "x");
    EXPECT_EQ(getLibraryName("Sample_S12_L003_R2_001.fastq.gz"), "Sample");
    EXPECT_EQ(getLibraryName("dir/"), "DefaultName");
    EXPECT_EQ(getLibraryName("FASTQ.a.b"), "DefaultName");
    EXPECT_EQ(getLibraryName("gz.a.b"), "DefaultName");
    EXPECT_EQ(getLibraryName("_-_.a.b"), "DefaultName");
}

TEST(LogArchive, ArchivesMatchingFilesWithRealTar) {
    ScratchDir dir;
    std::filesystem::create_directory("logs");
    writeFile("logs/samtools_1.stderr.log", "a\n");
    writeFile("logs/sort_2.stdout.log", "b\n");
    writeFile("logs/keep.txt", "c\n");
    std::regex pattern(R"(^.*\.log$)");
    EXPECT_EQ(compressLogFiles("logs", "run_Ambrel_Logs", pattern, false),
              "run_Ambrel_Logs.tar.gz");
    EXPECT_EQ(std::filesystem::current_path().string(), dir.path());
    EXPECT_FALSE(std::filesystem::exists("logs/samtools_1.stderr.log"));
    EXPECT_FALSE(std::filesystem::exists("logs/sort_2.stdout.log"));
    EXPECT_TRUE(std::filesystem::exists("logs/keep.txt"));
    ProcessResult listing = runProcess({"tar", "tzf", "logs/run_Ambrel_Logs.tar.gz"});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(listing.out.find("samtools_1.stderr.log\n"), std::string::npos);
    EXPECT_NE(listing.out.find("sort_2.stdout.log\n"), std::string::npos);
    EXPECT_EQ(listing.out.find("keep.txt"), std::string::npos);

    // Kept files stay; nothing matching means no tar at all.
    writeFile("logs/again.log", "d\n");
    EXPECT_EQ(compressLogFiles("logs", "second", pattern, true), "second.tar.gz");
    EXPECT_TRUE(std::filesystem::exists("logs/again.log"));
    EXPECT_EQ(compressLogFiles("logs", "none", std::regex(R"(^.*\.nothing$)"), false), "");
    EXPECT_FALSE(std::filesystem::exists("logs/none.tar.gz"));
}

TEST(LogArchive, HardTarFailureThrowsAndRestoresTheDirectory) {
    ScratchDir dir;
    writeFile("x.log", "x\n");
    Logger::Level saved = gUtilLogger.getLevel();
    set_util_log_level(Logger::NONE);
    EXPECT_THROW(compressLogFiles(".", "missing-dir/archive", std::regex(R"(\.log$)"), false),
                 std::runtime_error);
    set_util_log_level(saved);
    EXPECT_EQ(std::filesystem::current_path().string(), dir.path());
    EXPECT_TRUE(std::filesystem::exists("x.log")); // not deleted when tar failed
}
