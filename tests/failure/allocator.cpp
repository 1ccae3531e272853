#include "allocator.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace vorn::test {

namespace {

AllocationStats stats;
std::uint64_t failAt_ = 0;
bool failed = false;
std::size_t held = 0;

void* Allocate(std::size_t size, std::size_t alignment, bool nothrow) {
    ++stats.count;
    if (failAt_ != 0 && stats.count == failAt_) {
        failed = true;
        // As the library's operator new does: a new-handler may give memory
        // back, and the allocation is then tried again.
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            if (nothrow) return nullptr;
            throw std::bad_alloc();
        }
        handler();
    }
    if (size > stats.largest) stats.largest = size;
    stats.bytes += size;
    void* p = alignment <= alignof(std::max_align_t) ? std::malloc(size == 0 ? 1 : size)
                                                      : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (p == nullptr) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    ++stats.live;
    held += malloc_usable_size(p);
    if (held > stats.peak) stats.peak = held;
    return p;
}

void Free(void* p) {
    if (p == nullptr) return;
    --stats.live;
    held -= malloc_usable_size(p);
    std::free(p);
}

}  // namespace

void ResetAllocations(std::uint64_t failAt) {
    stats = {};
    held = 0;
    failAt_ = failAt;
    failed = false;
}

void StopFailing() { failAt_ = 0; }
AllocationStats Allocations() { return stats; }
bool AllocationFailed() { return failed; }

}  // namespace vorn::test

using vorn::test::Allocate;
using vorn::test::Free;

void* operator new(std::size_t size) { return Allocate(size, 0, false); }
void* operator new[](std::size_t size) { return Allocate(size, 0, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0, true); }
void* operator new(std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a), false); }
void* operator new[](std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a), false); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t) noexcept { Free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Free(p); }
