/* Allocations that fail on demand, for tests of the out-of-memory roads.
 * The test program replaces the C library's allocator entry points (as
 * glibc allows) and passes every call on, unless it is armed; it counts the
 * blocks in use. Not in
 * sanitizer builds, whose runtime owns the allocator. */
#ifndef SWATCH_FAILING_MALLOC_H
#define SWATCH_FAILING_MALLOC_H

#include <cstddef>

namespace swatchtest
{

/* Blocks the allocator has handed out and not had back, counted from the
 * start of the program: a leak makes it grow, whatever the allocator
 * keeps in its caches. */
long LiveAllocations();

/* While the guard lives, every allocation of nBytes or more fails. */
class ScopedFailingAllocations
{
  public:
    explicit ScopedFailingAllocations(size_t nBytes);
    ~ScopedFailingAllocations();
    ScopedFailingAllocations(const ScopedFailingAllocations &) = delete;
    ScopedFailingAllocations &operator=(const ScopedFailingAllocations &) = delete;
};

} // namespace swatchtest

#endif
