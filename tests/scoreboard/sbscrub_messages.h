// What sbscrub writes when it finds no scoreboard, for the tests that run it.
#pragma once

#include <cstring>
#include <string>

namespace sbscrub_messages
{

// The hint that follows the name of a missing scoreboard.
inline const std::string hint = "(Perhaps you need to specify the ScoreboardFile with -f, or "
                                "change\n the compile-time default directory?)\n";

// The message on standard error for the scoreboard at path that could not be had: the path,
// the system's text for error, then the hint.
inline std::string missing(const std::string &path, int error)
{
    return path + ": " + strerror(error) + "\n" + hint;
}

} // namespace sbscrub_messages
