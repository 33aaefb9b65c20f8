#include "BinnedIntervalIndex.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/LookupArena.h"

namespace {

void collect_entries(const IntervalTree<unsigned long, std::string>& node,
                     const std::unordered_map<std::string, uint32_t>& labelIds,
                     std::vector<BinnedIntervalIndex::Entry>& entries, bool& fits) {
    const unsigned long limit = std::numeric_limits<uint32_t>::max();
    for (const auto& i : node.intervals) {
        if (i.stop > limit) {
            fits = false;
            return;
        }
        entries.push_back(
            {static_cast<uint32_t>(i.start), static_cast<uint32_t>(i.stop), labelIds.at(i.value)});
    }
    if (node.left)
        collect_entries(*node.left, labelIds, entries, fits);
    if (node.right)
        collect_entries(*node.right, labelIds, entries, fits);
}

} // namespace

bool BinnedIntervalIndex::build(const IntervalTree<unsigned long, std::string>& tree,
                                const std::unordered_map<std::string, uint32_t>& labelIds) {
    _ownOffsets.clear();
    _ownEntries.clear();
    _point();
    std::vector<Entry> intervals;
    bool fits = true;
    collect_entries(tree, labelIds, intervals, fits);
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
    // About two entries a bin at least, never finer than 16 kb.
    size_t targetBins = std::max<size_t>(64, intervals.size() / 2);
    _binShift = MIN_BIN_SHIFT;
    while ((static_cast<size_t>(maxStop) >> _binShift) + 1 > targetBins)
        ++_binShift;
    size_t bins = (static_cast<size_t>(maxStop) >> _binShift) + 1;
    std::vector<uint32_t> counts(bins + 1, 0);
    for (const Entry& e : intervals)
        for (size_t bin = e.start >> _binShift; bin <= (e.stop >> _binShift); ++bin)
            ++counts[bin + 1];
    for (size_t bin = 0; bin < bins; ++bin)
        counts[bin + 1] += counts[bin];
    _ownOffsets = counts;
    _ownEntries.resize(counts[bins]);
    for (const Entry& e : intervals)
        for (size_t bin = e.start >> _binShift; bin <= (e.stop >> _binShift); ++bin)
            _ownEntries[counts[bin]++] = e;
    _point();
    return true;
}

void BinnedIntervalIndex::_point() {
    _offsets = _ownOffsets.data();
    _entries = _ownEntries.data();
    _bins = _ownOffsets.empty() ? 0 : _ownOffsets.size() - 1;
    _entryCount = _ownEntries.size();
}

size_t BinnedIntervalIndex::relocatedBytes() const {
    return (_bins + 1) * sizeof(uint32_t) + _entryCount * sizeof(Entry) + 2 * alignof(Entry);
}

void BinnedIntervalIndex::relocate(LookupArena& arena) {
    if (_bins == 0)
        return;
    auto* offsets = static_cast<uint32_t*>(arena.take((_bins + 1) * sizeof(uint32_t), 4));
    std::memcpy(offsets, _offsets, (_bins + 1) * sizeof(uint32_t));
    auto* entries =
        static_cast<Entry*>(arena.take(_entryCount * sizeof(Entry) + 1, alignof(Entry)));
    std::memcpy(static_cast<void*>(entries), _entries, _entryCount * sizeof(Entry));
    _offsets = offsets;
    _entries = entries;
    std::vector<uint32_t>().swap(_ownOffsets);
    std::vector<Entry>().swap(_ownEntries);
}
