// State shared by the diagnostics and the stream closing.
#pragma once

namespace support::internal
{

// Set once standard output has been closed; the diagnostics then no longer flush it.
extern bool stdout_closed;

} // namespace support::internal
