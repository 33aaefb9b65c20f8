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

size_t depthOf(const Tree& tree) {
    size_t below = 0;
    if (tree.left)
        below = std::max(below, depthOf(*tree.left));
    if (tree.right)
        below = std::max(below, depthOf(*tree.right));
    return below + 1;
}

} // namespace

TEST(IntervalTree, ClosedEndsAndEmptyTrees) {
    Ivals ivals;
    ivals.emplace_back(20, 30, "a");
    ivals.emplace_back(10, 0, "b"); // ends given in either order
    ivals.emplace_back(21, 30, "c");
    Tree tree(std::move(ivals));
    std::vector<std::string> found = values(tree.findOverlapping(10, 20));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(values(tree.findOverlapping(5, 5)), std::vector<std::string>{"b"});
    EXPECT_TRUE(tree.findOverlapping(11, 19).empty());

    Tree empty{Ivals()};
    EXPECT_TRUE(empty.findOverlapping(0, ~0UL).empty());
    EXPECT_TRUE(empty.is_valid().first);
    EXPECT_FALSE(empty.left || empty.right);
}

TEST(IntervalTree, LeafBelowSixtyFourIntervalsSplitsAtSixtyFour) {
    Ivals small;
    for (unsigned long i = 0; i < 63; ++i)
        small.emplace_back(i * 10, i * 10 + 5, std::to_string(i));
    Tree leaf(std::move(small));
    EXPECT_FALSE(leaf.left || leaf.right);
    EXPECT_EQ(leaf.intervals.size(), 63u);

    Ivals large;
    for (unsigned long i = 0; i < 64; ++i)
        large.emplace_back(100 + i * 10, 100 + i * 10 + 5, std::to_string(i));
    Tree split(std::move(large));
    EXPECT_EQ(split.center, (100 + 735) / 2UL);
    EXPECT_TRUE(split.left && split.right);
    EXPECT_TRUE(split.is_valid().first);

    // Everything containing the centre stays at the root, however many intervals there are.
    Ivals nested;
    for (unsigned long i = 0; i < 500; ++i)
        nested.emplace_back(1000 - i, 1000 + i, "n" + std::to_string(i));
    Tree root(std::move(nested));
    EXPECT_EQ(root.intervals.size(), 500u);
    EXPECT_FALSE(root.left || root.right);

    // Only the sides that receive intervals get children.
    Ivals oneSided;
    for (unsigned long i = 0; i < 100; ++i)
        oneSided.emplace_back(0, 1000, "wide");
    oneSided.emplace_back(900, 950, "right");
    Tree lopsided(std::move(oneSided));
    EXPECT_FALSE(lopsided.left);
    EXPECT_TRUE(lopsided.right);
}

TEST(IntervalTree, IdenticalIntervalsAreAllReturned) {
    Ivals ivals;
    ivals.emplace_back(5, 9, "x");
    ivals.emplace_back(5, 9, "y");
    ivals.emplace_back(5, 9, "x");
    Tree tree(std::move(ivals));
    std::vector<std::string> found = values(tree.findOverlapping(9, 9));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"x", "x", "y"}));
}

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
        ASSERT_LE(depthOf(tree), 16u);
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

TEST(IntervalTree, DepthLimitKeepsWhatReachesIt) {
    Ivals ivals;
    for (unsigned long i = 0; i < 5000; ++i)
        ivals.emplace_back(i * 2, i * 2, std::to_string(i));
    Tree shallow(std::move(ivals), 3);
    EXPECT_LE(depthOf(shallow), 3u);
    EXPECT_TRUE(shallow.is_valid().first);
    EXPECT_EQ(shallow.findOverlapping(0, 10000).size(), 5000u);
}

TEST(IntervalTree, MovesLeaveTheSourceEmpty) {
    Ivals ivals;
    for (unsigned long i = 0; i < 100; ++i)
        ivals.emplace_back(i, i + 1, "v");
    Tree source(std::move(ivals));
    Tree moved(std::move(source));
    EXPECT_EQ(moved.findOverlapping(0, 200).size(), 100u);
    EXPECT_TRUE(source.findOverlapping(0, 200).empty()); // NOLINT: moved-from is empty
    Tree assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.findOverlapping(50, 50).size(), 2u);
}
