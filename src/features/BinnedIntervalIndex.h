// Flat, cache-friendly copy of one gene-model tree for the per-record lookups: intervals as 32-bit
// coordinates with a label id, bucketed by 16 kb genome bins, so a read block costs one or two
// contiguous scans instead of a pointer walk down a tree.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "IntervalTree"

class LookupArena;

namespace detail {
// A cache-warming load that the optimiser keeps (it may drop __builtin_prefetch whose result it
// considers unused).
inline void warm_cache_line(const void* address) {
#if defined(__x86_64__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}
} // namespace detail

class BinnedIntervalIndex {
public:
    // Bins are 16 kb where the tree is dense; a sparse tree (the receptor genes', say) gets
    // coarser bins so that its bin table stays a few cache lines long.
    static constexpr unsigned MIN_BIN_SHIFT = 14;

    struct Entry {
        uint32_t start;
        uint32_t stop;
        uint32_t label;
    };

    BinnedIntervalIndex() = default;
    BinnedIntervalIndex(const BinnedIntervalIndex&) = delete;
    BinnedIntervalIndex& operator=(const BinnedIntervalIndex&) = delete;

    // Copies the intervals of tree, labels translated by labelIds (which must hold every label).
    // Returns false, leaving the index empty, when a coordinate does not fit in 32 bits.
    bool build(const IntervalTree<unsigned long, std::string>& tree,
               const std::unordered_map<std::string, uint32_t>& labelIds);

    // Bytes that relocate() will take from an arena.
    size_t relocatedBytes() const;
    // Moves the tables into the arena (one block shared by every index of the model).
    void relocate(LookupArena& arena);

    // Calls f(label id) for every interval overlapping the closed range [start, stop]; an interval
    // reached through two bins is reported twice.
    template <class F> void visit(unsigned long start, unsigned long stop, F f) const {
        size_t first = start >> _binShift;
        if (first >= _bins)
            return;
        size_t last = stop >> _binShift;
        if (last >= _bins)
            last = _bins - 1;
        for (size_t bin = first; bin <= last; ++bin) {
            const Entry* e = _entries + _offsets[bin];
            const Entry* end = _entries + _offsets[bin + 1];
            // A bin's entries are in start order.
            for (; e != end && e->start <= stop; ++e)
                if (e->stop >= start)
                    f(e->label);
        }
    }

    // Cache warming for a lookup at pos: first the bin's offset, later (once that is cached) the
    // bin's first entries.
    void prefetchBin(unsigned long pos) const {
        size_t bin = pos >> _binShift;
        if (bin < _bins)
            detail::warm_cache_line(_offsets + bin);
    }
    void prefetchEntries(unsigned long pos) const {
        size_t bin = pos >> _binShift;
        if (bin < _bins)
            detail::warm_cache_line(_entries + _offsets[bin]);
    }

    size_t entryCount() const { return _entryCount; }

private:
    void _point();

    std::vector<uint32_t> _ownOffsets; // bin b holds entries [_offsets[b], _offsets[b + 1])
    std::vector<Entry> _ownEntries;
    const uint32_t* _offsets = nullptr;
    const Entry* _entries = nullptr;
    size_t _bins = 0;
    unsigned _binShift = MIN_BIN_SHIFT;
    size_t _entryCount = 0;
};
