// Read-only view of the quoting module's slot vector, for its tests.
#pragma once

#include <cstddef>

namespace support::quoting_slots
{

// Number of records in the slot vector.
size_t count();
// Byte size of slot n's buffer (0 for a slot never used); n must be below count().
size_t size(size_t n);
// Slot n's buffer (null for a slot never used); n must be below count().
const char *buffer(size_t n);
// The static buffer that slot 0 starts on.
const char *static_buffer();

} // namespace support::quoting_slots
