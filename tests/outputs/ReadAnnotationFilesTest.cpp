#include <filesystem>
#include <gtest/gtest.h>
#include <system_error>
#include <thread>

#include "TestSupport.h"
#include "outputs/ReadAnnotationFiles.h"
#include "outputs/TableSorting.h"
#include "support/EarlyTerminate.h"

namespace fs = std::filesystem;

TEST(ReadAnnotationFilesConcurrent, FirstWritesRaceToOneFilePerPartition) {
    ScratchDir dir;
    // Enough lines that every table is written out in several members while others write to it.
    const int threads = 4, genes = 200, rounds = 200;
    {
        ReadAnnotationFiles files("race");
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
    EXPECT_THROW(ReadAnnotationFiles("missing-dir/run"), std::system_error);
    resetTerminateState();
    ReadAnnotationFiles files("part");
    fs::create_directory(files.partitionFileName(ReadAnnotationFiles::partitionOfGene("G")));
    files.writeValidReads("1,U,G,\n", "G");
    files.writeValidReads("1,U,G,\n", "G");
    ASSERT_EQ(terminateMessages().size(), 1u);
    EXPECT_NE(terminateMessages()[0].find("Failed to open 'part_Sorted_Valid_Reads.csv."),
              std::string::npos);
    resetTerminateState();
}
