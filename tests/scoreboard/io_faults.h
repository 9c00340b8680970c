// Scripted failures of read, write, lseek64, fstat64, lstat64 and fcntl on one file, for the
// code under test. The suite is linked with --wrap for these calls; calls on other files pass
// through untouched.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace faults
{

// The calls that can be scripted. lock, unlock, get_flags and set_flags are fcntl requests of
// those kinds; stat is fstat64 on a descriptor, link_stat is lstat64 on a path.
enum class Op { read, write, lock, unlock, seek, stat, link_stat, get_flags, set_flags, count };

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

// Aims the scripts at the file at path (by device and inode) and clears them, the hooks and
// the counts.
void target(const std::string &path);
// The outcomes of the next calls of op on the target, in order; later calls pass through.
void script(Op op, std::vector<Outcome> outcomes);
// Called before each call of op on the target, before its scripted outcome.
void before(Op op, std::function<void()> hook);
// Calls of op on the target since target().
int calls(Op op);
// Stops aiming at any file.
void reset();

} // namespace faults
