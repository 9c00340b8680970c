// Control over the allocator of the test program itself: a suite that links this library
// replaces malloc, calloc and realloc with versions that fail or trap on demand.
#pragma once

#include <cstddef>

namespace harness
{

// From now on, the nth allocation request (1 for the next) of at least min_size bytes fails
// with ENOMEM; later requests succeed again.
void fail_allocation(unsigned long nth, size_t min_size = 0);

// From now on, any allocation request of more than max_size bytes (or an overflowing calloc)
// aborts the process: for checking that a size test comes before the allocator.
void trap_allocations_over(size_t max_size);

// Stops failing and trapping allocations.
void reset_allocations();

} // namespace harness
