// The tables' in-process sort against the reference it replaces, coreutils sort in byte order.
#include <gtest/gtest.h>
#include <random>

#include "TestSupport.h"
#include "outputs/TableSorting.h"

// Lines with missing and empty fields, shared prefixes, extra commas and bytes above 0x7f, from a
// table of gzip members, sorted in memory and by the external sort (a budget too small for
// memory): both give what
// `LC_ALL=C sort -t, -k3,3 -k1,1 -k2,2 -k4,4` gives, as gzip members that are the same bytes
// every time. (A table without lines: the golden variant CutByTheEndWithoutSampleTags.)
TEST(TableSorting, OrdersAsByteOrderSortInAndOutOfMemory) {
    ScratchDir dir;
    std::mt19937 random(7);
    const std::string pieces[] = {"", "A", "AB", "ABC", "b", "\xc3\xa9", "10", "9", "A,B"};
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        for (unsigned long f = 0, fields = 1 + random() % 5; f < fields; ++f)
            line += (f ? "," : "") + pieces[random() % 9];
        text += line + "\n";
    }
    writeFile("table.txt", text);
    std::string expected =
        runProcess({"sh", "-c", "LC_ALL=C sort -t, -k3,3 -k1,1 -k2,2 -k4,4 table.txt"}).out;
    std::string previous;
    for (unsigned long budget : {1UL << 30, 1UL}) {
        ASSERT_EQ(runProcess({"sh", "-c", "gzip -c table.txt > table.csv"}).status, 0);
        std::vector<TableReport> reports =
            sortAndCompressTables({{"table.csv", {3, 1, 2, 4}}}, 2, budget, ".");
        EXPECT_EQ(reports[0].external, budget == 1);
        EXPECT_EQ(reports[0].lines, 20000u);
        EXPECT_EQ(runProcess({"sh", "-c", "gzip -dc table.csv.gz"}).out, expected) << budget;
        if (!previous.empty()) {
            EXPECT_EQ(readFile("table.csv.gz"), previous);
        }
        previous = readFile("table.csv.gz");
    }
}
