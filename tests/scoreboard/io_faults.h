// Scripted failures of read, write and fcntl on one file, for the code under test. The suite
// is linked with --wrap for these calls; calls on other descriptors pass through untouched.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace faults
{

// The calls that can be scripted; lock and unlock are fcntl requests of those kinds.
enum class Op { read, write, lock, unlock, count };

// What one call on the target file does: fail with error (when non-zero), or pass through with
// its byte count cut to at most limit (when limit is not negative).
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

// Aims the scripts at the file at path (by device and inode) and clears them and the counts.
void target(const std::string &path);
// The outcomes of the next calls of op on the target, in order; later calls pass through.
void script(Op op, std::vector<Outcome> outcomes);
// Called before each write on the target, before its scripted outcome.
void before_write(std::function<void()> hook);
// Calls of op on the target since target().
int calls(Op op);
// Stops aiming at any file.
void reset();

} // namespace faults
