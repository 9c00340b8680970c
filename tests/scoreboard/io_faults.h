// Scripted failures of read, write, lseek64, fstat64 and fcntl on one file, for the code under
// test. The suite is linked with --wrap for these calls; calls on other files pass through
// untouched. A script names the calls it applies to by what they do: their kind and, for calls
// that work at an offset, the part of the file they work on, so that a call added elsewhere
// shifts nothing.
#pragma once

#include "scoreboard.h"
#include "scoreboard_fixture.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace faults
{

// The kinds of call. read and write work at the offset they start at, seek (lseek64 other than
// a position query) at the offset it lands at, position (lseek64(fd, 0, SEEK_CUR)) at the offset
// it reports. lock, unlock, get_flags and set_flags are fcntl requests of those kinds and stat
// is fstat64; these work at no offset.
enum class Op { read, write, seek, position, lock, unlock, stat, get_flags, set_flags };

// A part of the file: size bytes from start; with a negative size, anywhere (no offset too).
struct Span {
    off64_t start = 0;
    off64_t size = -1;
};

// The scoreboard's header.
inline Span header()
{
    return {0, sizeof(scoreboard_header)};
}
// Slot n of the scoreboard, counted from 0.
inline Span slot(int n)
{
    constexpr off64_t size = sizeof(scoreboard_entry);
    return {static_cast<off64_t>(sizeof(scoreboard_header)) + n * size, size};
}
// The one offset just past span, where a call that went through it stands.
inline Span after(Span span)
{
    return {span.start + span.size, 1};
}

// The calls of one kind that work in a part of the file (by default, anywhere).
struct Call {
    Call(Op kind, Span where = {}) : op(kind), at(where) {}
    Op op;
    Span at;
};

// What one call on the target file does: fail with error (when non-zero), or pass through with
// its byte count cut to at most limit (when limit is not negative; reads and writes only).
struct Outcome {
    int error = 0;
    ssize_t limit = -1;
};

// Fails with e.
inline Outcome fail(int e)
{
    return {e, -1};
}
// Passes through, reading or writing at most n bytes.
inline Outcome cut(ssize_t n)
{
    return {0, n};
}
// Passes through unchanged.
inline Outcome pass()
{
    return {};
}

// The outcomes of the next calls on the target that match call, in order; later ones pass
// through. A call takes its outcome from the first script it matches that has outcomes left.
struct Script {
    Call call;
    std::vector<Outcome> outcomes;
};

// Aims scripts at the file at path (by device and inode), in place of any earlier scripts, hooks
// and counts.
void target(const std::string &path, const std::vector<Script> &scripts = {});
// Runs hook before each call on the target that matches call, before its scripted outcome.
void before(Call call, std::function<void()> hook);
// Calls on the target that matched call since target().
int calls(Call call);
// Stops aiming at any file.
void reset();

// The fixture of tests that script faults: the scripts end with each test.
class fixture : public scoreboard_fixture
{
  protected:
    void TearDown() override
    {
        reset();
        scoreboard_fixture::TearDown();
    }
};

} // namespace faults
