#include "text/memory.h"

#include <cstring>
#include <new>

namespace text {
namespace {
thread_local uint64_t t_failed = 0;
}  // namespace

void* allocateBlock(size_t bytes) noexcept {
    void* block = ::operator new(bytes ? bytes : 1, std::nothrow);
    if (!block) ++t_failed;
    return block;
}

void* allocateZeroed(size_t count, size_t size) noexcept {
    if (size && count > SIZE_MAX / size) {
        ++t_failed;
        return nullptr;
    }
    void* block = allocateBlock(count * size);
    if (block) std::memset(block, 0, count * size);
    return block;
}

void freeBlock(void* block) noexcept {
    ::operator delete(block);
}

uint64_t failedAllocations() noexcept {
    return t_failed;
}

void noteFailedAllocation() noexcept {
    ++t_failed;
}

}  // namespace text
