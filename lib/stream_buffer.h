// Direct access to a stdio stream's buffer, where the platform's stdio shows it: the one place
// that knows the layout of the platform's FILE. Where it is hidden, the buffer always looks
// empty or full and callers go through the single-byte calls instead.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>
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

// The room left in stream's write buffer: the bytes that the buffered single-byte write would
// store there before it flushes. Empty before the first write and on unbuffered and
// line-buffered streams, where every such write goes through stdio.
inline std::span<char> output_room(FILE *stream)
{
    if (stream->_IO_write_ptr >= stream->_IO_write_end)
        return {};
    return {stream->_IO_write_ptr,
            static_cast<size_t>(stream->_IO_write_end - stream->_IO_write_ptr)};
}

// Takes the first n bytes of output_room(stream), stored by the caller, as written; n is at
// most their number.
inline void commit_output(FILE *stream, size_t n)
{
    stream->_IO_write_ptr += n;
}

#else

// Nothing is ever shown as buffered.
inline std::string_view buffered_input(FILE *)
{
    return {};
}

// Nothing to hand out.
inline void consume_input(FILE *, size_t) {}

// No room is ever shown.
inline std::span<char> output_room(FILE *)
{
    return {};
}

// Nothing to take.
inline void commit_output(FILE *, size_t) {}

#endif

} // namespace support::internal
