#include "LookupArena.h"

#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace {
constexpr size_t HUGE_PAGE = 2u << 20;
}

LookupArena::LookupArena(size_t bytes) {
    if (bytes == 0)
        return;
    size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    _mappedBytes = rounded + HUGE_PAGE; // slack to align the start to a huge page
    void* mapping =
        mmap(nullptr, _mappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        throw std::bad_alloc();
    _mapping = static_cast<char*>(mapping);
    uintptr_t start = reinterpret_cast<uintptr_t>(_mapping);
    _base = reinterpret_cast<char*>((start + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE);
    _capacity = rounded;
    // Advice only: without huge pages the arena works the same, just with more TLB misses.
    madvise(_base, _capacity, MADV_HUGEPAGE);
}

LookupArena::~LookupArena() {
    _release();
}

LookupArena::LookupArena(LookupArena&& other) noexcept {
    *this = std::move(other);
}

LookupArena& LookupArena::operator=(LookupArena&& other) noexcept {
    if (this != &other) {
        _release();
        std::swap(_mapping, other._mapping);
        std::swap(_mappedBytes, other._mappedBytes);
        std::swap(_base, other._base);
        std::swap(_capacity, other._capacity);
        std::swap(_used, other._used);
    }
    return *this;
}

void LookupArena::_release() {
    if (_mapping)
        munmap(_mapping, _mappedBytes);
    _mapping = _base = nullptr;
    _mappedBytes = _capacity = _used = 0;
}

void* LookupArena::take(size_t bytes, size_t alignment) {
    size_t start = (_used + alignment - 1) / alignment * alignment;
    if (start + bytes > _capacity)
        throw std::bad_alloc();
    _used = start + bytes;
    return _base + start;
}
