#include <algorithm>
#include <gtest/gtest.h>
#include <random>

#include "IntervalTree"

using Tree = IntervalTree<unsigned long, std::string>;
using Ivals = Tree::interval_vector;

namespace {

std::vector<std::string> values(const Ivals& found) {
    std::vector<std::string> result;
    for (const auto& i : found)
        result.push_back(i.value);
    return result;
}

} // namespace

TEST(IntervalTree, MatchesLinearScanOnRandomIntervals) {
    std::mt19937_64 random(99);
    for (int round = 0; round < 40; ++round) {
        size_t count = random() % 3000;
        unsigned long span = 1 + random() % 1000000;
        Ivals ivals, copy;
        for (size_t i = 0; i < count; ++i) {
            unsigned long a = random() % span, length = random() % 5000;
            ivals.emplace_back(a, a + length, std::to_string(i));
        }
        copy = ivals;
        Tree tree(std::move(ivals));
        ASSERT_TRUE(tree.is_valid().first);
        for (int q = 0; q < 200; ++q) {
            unsigned long start = random() % span, stop = start + random() % 3000;
            std::vector<std::string> expected, found = values(tree.findOverlapping(start, stop));
            for (const auto& i : copy)
                if (i.start <= stop && i.stop >= start)
                    expected.push_back(i.value);
            std::sort(expected.begin(), expected.end());
            std::sort(found.begin(), found.end());
            ASSERT_EQ(found, expected) << "round " << round << " query " << start << "-" << stop;
        }
    }
}
