// What the support library takes from its C library beyond the standard interfaces, in one
// place: direct access to a stdio stream's buffer, the count of its unwritten bytes, whether the
// process has one thread, and the int-returning strerror_r. Where glibc is not there, or the build
// is made with PORTABLE_BUILD defined (cmake -DPORTABLE=ON), the buffer access and the thread test
// fall back to what every C library offers: the buffers always look empty or full, so callers go
// through the single-byte calls, and every stream is locked.
#pragma once

#include <stdio_ext.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#if defined(__GLIBC__) && __has_include(<sys/single_threaded.h>) && !defined(PORTABLE_BUILD)
#define SUPPORT_STDIO_INTERNALS 1
#include <sys/single_threaded.h>
#endif

#ifdef __GLIBC__
// The int-returning form, which reports an unknown error number instead of inventing a text;
// glibc's strerror_r is the other one.
extern "C" int __xpg_strerror_r(int errnum, char *buf, size_t buflen);
#endif

namespace support::internal
{

#ifdef SUPPORT_STDIO_INTERNALS

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

// True when output_room(stream) holds at least n bytes (n > 0): one test.
inline bool output_room_holds(FILE *stream, size_t n)
{
    return stream->_IO_write_end - stream->_IO_write_ptr >= static_cast<ptrdiff_t>(n);
}

// The start of output_room(stream), once output_room_holds has said that it holds some bytes.
inline char *output_position(FILE *stream)
{
    return stream->_IO_write_ptr;
}

// Takes the bytes of output_room(stream) before end, stored by the caller, as written.
inline void commit_output_to(FILE *stream, char *end)
{
    stream->_IO_write_ptr = end;
}

// True when the process has only ever had one thread, so no other can use a stream.
inline bool single_threaded()
{
    return __libc_single_threaded != 0;
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

// No room is ever shown.
inline bool output_room_holds(FILE *, size_t)
{
    return false;
}

// Never asked for: there is never room.
inline char *output_position(FILE *)
{
    return nullptr;
}

// Nothing to take.
inline void commit_output_to(FILE *, char *) {}

// The platform cannot tell: another thread may use a stream.
inline bool single_threaded()
{
    return false;
}

#endif

// The bytes written to stream that still wait in its buffer (__fpending, which glibc and musl
// both have).
inline size_t pending_output(FILE *stream)
{
    return __fpending(stream);
}

// strerror_r's int-returning form: writes the system's text for errnum into buf (size bytes) and
// returns 0, or returns non-zero when there is no such text.
inline int error_text(int errnum, char *buf, size_t size)
{
#ifdef __GLIBC__
    return __xpg_strerror_r(errnum, buf, size);
#else
    return strerror_r(errnum, buf, size);
#endif
}

} // namespace support::internal
