// Flat, cache-friendly copy of one gene-model tree for the per-record lookups: intervals as 32-bit
// coordinates with a label id, bucketed by 16 kb genome bins, so a read block costs one or two
// contiguous scans instead of a pointer walk down a tree.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "IntervalTree"

class BinnedIntervalIndex {
public:
    static constexpr unsigned BIN_SHIFT = 14;

    struct Entry {
        uint32_t start;
        uint32_t stop;
        uint32_t label;
    };

    // Copies the intervals of tree, labels translated by labelIds (which must hold every label).
    // Returns false, leaving the index empty, when a coordinate does not fit in 32 bits.
    bool build(const IntervalTree<unsigned long, std::string>& tree,
               const std::unordered_map<std::string, uint32_t>& labelIds);

    // Calls f(label id) for every interval overlapping the closed range [start, stop]; an interval
    // reached through two bins is reported twice.
    template <class F> void visit(unsigned long start, unsigned long stop, F f) const {
        size_t bins = _offsets.empty() ? 0 : _offsets.size() - 1;
        size_t first = start >> BIN_SHIFT;
        if (first >= bins)
            return;
        size_t last = stop >> BIN_SHIFT;
        if (last >= bins)
            last = bins - 1;
        for (size_t bin = first; bin <= last; ++bin) {
            const Entry* e = _entries.data() + _offsets[bin];
            const Entry* end = _entries.data() + _offsets[bin + 1];
            // A bin's entries are in start order.
            for (; e != end && e->start <= stop; ++e)
                if (e->stop >= start)
                    f(e->label);
        }
    }

    size_t memoryBytes() const {
        return _offsets.capacity() * sizeof(uint32_t) + _entries.capacity() * sizeof(Entry);
    }

private:
    std::vector<uint32_t> _offsets; // bin b holds _entries[_offsets[b], _offsets[b + 1])
    std::vector<Entry> _entries;
};
