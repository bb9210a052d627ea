#include "support/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};

void* allocate(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
}  // namespace

// The array forms and the sized delete[] fall back to these two.
void* operator new(std::size_t size) {
    return allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace lumvar::testing {

AllocationScope::AllocationScope() {
    allocations.store(0), counting.store(true);
}
AllocationScope::~AllocationScope() {
    counting.store(false);
}
std::uint64_t AllocationScope::count() const {
    return allocations.load();
}

}  // namespace lumvar::testing
