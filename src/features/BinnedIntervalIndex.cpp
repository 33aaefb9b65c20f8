#include "BinnedIntervalIndex.h"

#include <algorithm>
#include <limits>

namespace {

void __collect(const IntervalTree<unsigned long, std::string>& node,
               const std::unordered_map<std::string, uint32_t>& labelIds,
               std::vector<BinnedIntervalIndex::Entry>& entries, bool& fits) {
    const unsigned long limit = std::numeric_limits<uint32_t>::max();
    for (const auto& i : node.intervals) {
        if (i.stop > limit) {
            fits = false;
            return;
        }
        entries.push_back({static_cast<uint32_t>(i.start), static_cast<uint32_t>(i.stop),
                           labelIds.at(i.value)});
    }
    if (node.left)
        __collect(*node.left, labelIds, entries, fits);
    if (node.right)
        __collect(*node.right, labelIds, entries, fits);
}

} // namespace

bool BinnedIntervalIndex::build(const IntervalTree<unsigned long, std::string>& tree,
                                const std::unordered_map<std::string, uint32_t>& labelIds) {
    _offsets.clear();
    _entries.clear();
    std::vector<Entry> intervals;
    bool fits = true;
    __collect(tree, labelIds, intervals, fits);
    if (!fits)
        return false;
    if (intervals.empty())
        return true;
    // An exon shared by many transcripts is one line per transcript: scan it once.
    auto byPosition = [](const Entry& a, const Entry& b) {
        if (a.start != b.start)
            return a.start < b.start;
        if (a.stop != b.stop)
            return a.stop < b.stop;
        return a.label < b.label;
    };
    std::sort(intervals.begin(), intervals.end(), byPosition);
    intervals.erase(std::unique(intervals.begin(), intervals.end(),
                                [](const Entry& a, const Entry& b) {
                                    return a.start == b.start && a.stop == b.stop &&
                                           a.label == b.label;
                                }),
                    intervals.end());

    uint32_t maxStop = 0;
    for (const Entry& e : intervals)
        maxStop = std::max(maxStop, e.stop);
    size_t bins = (static_cast<size_t>(maxStop) >> BIN_SHIFT) + 1;
    std::vector<uint32_t> counts(bins + 1, 0);
    for (const Entry& e : intervals)
        for (size_t bin = e.start >> BIN_SHIFT; bin <= (e.stop >> BIN_SHIFT); ++bin)
            ++counts[bin + 1];
    for (size_t bin = 0; bin < bins; ++bin)
        counts[bin + 1] += counts[bin];
    _offsets = counts;
    _entries.resize(counts[bins]);
    for (const Entry& e : intervals)
        for (size_t bin = e.start >> BIN_SHIFT; bin <= (e.stop >> BIN_SHIFT); ++bin)
            _entries[counts[bin]++] = e;
    return true;
}
