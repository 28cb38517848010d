#pragma once
// The one allocator of the engine's buffers (StringBuffer, DataBuffer,
// ExtPtrArray). Blocks come from nothrow operator new, so that the process's
// operator new (a host's replacement, a test's failing one) sees them as it
// sees the rest of the engine's memory. A failure is a null pointer and is
// counted: a buffer reports it only through one result among many, and an
// operation that must not go on with text cut short compares the count
// before and after.
#include <cstddef>
#include <cstdint>

namespace text {

// Null when memory ran out.
void* allocateBlock(size_t bytes) noexcept;
// Zero-filled; null when memory ran out or count * size overflows.
void* allocateZeroed(size_t count, size_t size) noexcept;
void freeBlock(void* block) noexcept;

// Allocations of allocateBlock and allocateZeroed that failed on this
// thread, and those noted by noteFailedAllocation.
uint64_t failedAllocations() noexcept;
// For a nothrow new of the engine's that came back null.
void noteFailedAllocation() noexcept;

}  // namespace text
