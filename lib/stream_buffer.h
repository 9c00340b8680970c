// Direct access to a stdio stream's buffer, where the platform's stdio shows it: the one place
// that knows the layout of the platform's FILE. Where it is hidden, the buffer always looks
// empty and callers go through the single-byte calls instead.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace support::internal
{

#ifdef __GLIBC__

// The bytes stream has buffered for reading and not yet handed out.
inline std::string_view buffered_input(FILE *stream)
{
    return {stream->_IO_read_ptr, static_cast<size_t>(stream->_IO_read_end - stream->_IO_read_ptr)};
}

// Hands out the first n bytes of buffered_input(stream); n is at most their number.
inline void consume_input(FILE *stream, size_t n)
{
    stream->_IO_read_ptr += n;
}

#else

// Nothing is ever shown as buffered.
inline std::string_view buffered_input(FILE *)
{
    return {};
}

// Nothing to hand out.
inline void consume_input(FILE *, size_t) {}

#endif

} // namespace support::internal
