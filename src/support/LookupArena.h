// One block of memory for read-only lookup tables that every worker hits at random: backed by
// transparent huge pages where the kernel allows, so that lookups miss the TLB far less often.
#pragma once

#include <cstddef>

class LookupArena {
public:
    LookupArena() = default;
    explicit LookupArena(size_t bytes);
    ~LookupArena();
    LookupArena(LookupArena&& other) noexcept;
    LookupArena& operator=(LookupArena&& other) noexcept;
    LookupArena(const LookupArena&) = delete;
    LookupArena& operator=(const LookupArena&) = delete;

    // The next `bytes` bytes, aligned to `alignment`; throws std::bad_alloc past the end.
    void* take(size_t bytes, size_t alignment);

private:
    void _release();

    char* _mapping = nullptr;
    size_t _mappedBytes = 0;
    char* _base = nullptr;
    size_t _capacity = 0;
    size_t _used = 0;
};
