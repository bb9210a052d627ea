#include <cstdlib>
#include <new>

#include "support/audio_fixture.h"

std::atomic<bool> lumvar::testing::countingAllocations{false};
std::atomic<std::uint64_t> lumvar::testing::allocationCount{0};

// The array forms and the sized delete[] fall back to these.
void* operator new(std::size_t size) {
    if (lumvar::testing::countingAllocations.load(std::memory_order_relaxed))
        lumvar::testing::allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
