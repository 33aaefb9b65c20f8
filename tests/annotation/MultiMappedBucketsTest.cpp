// Grouping the multi-mapped records of a BAM whose reads are not together.
#include <algorithm>
#include <gtest/gtest.h>
#include <htslib/sam.h>
#include <map>
#include <random>
#include <thread>

#include "TestSupport.h"
#include "annotation/MultiMappedBuckets.h"

// Two threads add the alignments of 500 reads in a scrambled order, as workers of a
// coordinate-sorted BAM meet them: every record comes out once, each read's records together in
// one output and in input order, whatever order the threads added them in.
TEST(MultiMappedBucketsConcurrent, GroupEachReadsRecordsInInputOrder) {
    ScratchDir dir;
    SamText sam(standardReferences());
    std::vector<std::pair<int64_t, bam1_t*>> records; // input offset, record
    for (int read = 0; read < 500; ++read)
        for (int k = 0; k < 2 + read % 3; ++k)
            records.emplace_back(static_cast<int64_t>(records.size()) * 1000,
                                 sam.aligned(0, "chr1", read * 10 + k, "5M",
                                             "read" + std::to_string(read) + ";CELL;UMI"));
    std::mt19937 random(5);
    std::shuffle(records.begin(), records.end(), random);
    std::vector<std::string> outputs = {dir.file("g0.bam"), dir.file("g1.bam")};
    std::vector<unsigned long> counts;
    {
        MultiMappedBuckets buckets(dir.file("b"), 64);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                for (size_t i = t; i < records.size(); i += 2)
                    EXPECT_TRUE(buckets.add(records[i].second, records[i].first));
            });
        for (std::thread& thread : threads)
            thread.join();
        buckets.close();
        counts = buckets.groupInto(sam.header(), outputs);
    }
    EXPECT_TRUE(directoryNames(dir.path()) == std::vector<std::string>({"g0.bam", "g1.bam"}));
    std::map<std::string, std::string> positions; // read: its records' positions, in order
    std::string previous;
    for (size_t t = 0; t < outputs.size(); ++t) {
        std::vector<std::string> lines = readBamAsSam(outputs[t]);
        EXPECT_EQ(lines.size(), counts[t]);
        for (const std::string& line : lines) {
            std::vector<std::string> fields = strSplit(line, '\t');
            EXPECT_TRUE(fields[0] == previous || !positions.count(fields[0])) << fields[0];
            positions[fields[0]] += fields[3] + " ";
            previous = fields[0];
        }
    }
    ASSERT_EQ(positions.size(), 500u);
    EXPECT_EQ(positions["read0;CELL;UMI"], "1 2 ");
    EXPECT_EQ(positions["read7;CELL;UMI"], "71 72 73 ");
    EXPECT_EQ(positions["read499;CELL;UMI"], "4991 4992 4993 ");
}
