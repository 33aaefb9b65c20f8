#include <filesystem>
#include <gtest/gtest.h>
#include <system_error>
#include <thread>

#include "TestSupport.h"
#include "outputs/ReadAnnotationFiles.h"
#include "outputs/TableSorting.h"
#include "support/EarlyTerminate.h"
#include "support/Gzip.h"

namespace fs = std::filesystem;

TEST(ReadAnnotationFilesConcurrent, FirstWritesRaceToOneFilePerPartition) {
    ScratchDir dir;
    // Enough lines that every table is written out in several members while others write to it.
    const int threads = 4, genes = 200, rounds = 200;
    {
        EarlyTerminate failures;
        ReadAnnotationFiles files("race", failures);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&files, t] {
                for (int r = 0; r < rounds; ++r)
                    for (int g = 0; g < genes; ++g) {
                        std::string gene = "G" + std::to_string(g);
                        files.writeValidReads(std::to_string(t) + ",UMI," + gene + ",\n", gene);
                    }
            });
        for (std::thread& worker : workers)
            worker.join();
        files.sortValidReadsFiles(2, ".");
    }
    // Every line is whole and in the partition of its gene.
    unsigned long lines = 0;
    for (int p = 0; p < 32; ++p) {
        std::string name = "race_Sorted_Valid_Reads.csv." + std::to_string(p) + ".gz";
        if (!fs::exists(name))
            continue;
        for (const std::string& line : splitLines(readGzipMembers(name))) {
            ++lines;
            std::string gene = line.substr(line.find(",UMI,") + 5);
            gene.pop_back();
            EXPECT_EQ(ReadAnnotationFiles::partitionOfGene(gene), p) << line;
        }
    }
    EXPECT_EQ(lines, static_cast<unsigned long>(threads * genes * rounds));
}

// A partition that cannot be created fails the run with its name, from the worker that found it
// (a worker must not throw); later writes to it write nothing.
TEST(ReadAnnotationFiles, UnwritableOutputsAreNamed) {
    ScratchDir dir;
    EarlyTerminate failures;
    EXPECT_THROW(ReadAnnotationFiles("missing-dir/run", failures), std::system_error);
    ReadAnnotationFiles files("part", failures);
    fs::create_directory(files.partitionFileName(ReadAnnotationFiles::partitionOfGene("G")));
    files.writeValidReads("1,U,G,\n", "G");
    files.writeValidReads("1,U,G,\n", "G");
    ASSERT_EQ(failures.messages().size(), 1u);
    EXPECT_NE(failures.messages()[0].find("Failed to open 'part_Sorted_Valid_Reads.csv."),
              std::string::npos);
}

// A library annotated again takes its first attempt back: the tables, the sample-tag table and the
// FASTQ files hold what the earlier libraries wrote, whether the attempt's lines were written out
// as members or still collected, and a table only the attempt opened is gone.
TEST(ReadAnnotationFiles, RewindTakesBackALibrarysAttempt) {
    ScratchDir dir;
    std::string kept = "1,U,G,kept\n", later = std::string(200, 'x') + ",U,G,\n";
    {
        EarlyTerminate failures;
        ReadAnnotationFiles files("again", failures);
        files.writeValidReads(kept, "G");
        files.writeSampleTagValidReads(kept);
        std::string fastq = "@kept\nACGT\n+\nFFFF\n";
        files.flushFastq(fastq, files.tcr);
        ReadAnnotationFiles::Mark mark = files.mark();
        for (int k = 0; k < 3000; ++k) { // several members of each table
            files.writeValidReads(later, "G");
            files.writeSampleTagValidReads(later);
        }
        files.writeValidReads(later, "H");
        ASSERT_NE(ReadAnnotationFiles::partitionOfGene("G"),
                  ReadAnnotationFiles::partitionOfGene("H"));
        for (FastqStream* stream : {&files.tcr, &files.bcr}) {
            std::string attempt = "@attempt\nACGT\n+\nFFFF\n";
            files.flushFastq(attempt, *stream);
        }
        files.rewind(mark);
        files.writeValidReads(kept, "G");
        files.sortValidReadsFiles(1, ".");
        files.closeVdjFastqFiles();
    }
    EXPECT_EQ(readGzipMembers("again_Sorted_Valid_Reads.csv." +
                              std::to_string(ReadAnnotationFiles::partitionOfGene("G")) + ".gz"),
              kept + kept);
    std::string onlyInTheAttempt =
        "again_Sorted_Valid_Reads.csv." + std::to_string(ReadAnnotationFiles::partitionOfGene("H"));
    EXPECT_FALSE(fs::exists(onlyInTheAttempt));
    EXPECT_FALSE(fs::exists(onlyInTheAttempt + ".gz"));
    EXPECT_EQ(readGzipMembers("again_SampleTag_Sorted_Valid_Reads.csv.0.gz"), kept);
    EXPECT_EQ(readGzipMembers("again_VDJ_TCR_Valid_Reads.fastq.gz"), "@kept\nACGT\n+\nFFFF\n");
    EXPECT_FALSE(fs::exists("again_VDJ_BCR_Valid_Reads.fastq.gz"));
}
