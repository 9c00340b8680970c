// What the probe answers about the sound interface.
#pragma once

#include "what_string.h"

WHAT_STRING(sound_interface_h_id, "sound_interface.h\t1.0\t2026-12-08");

// Exit status meaning that the sound interface is not available; 0 would mean it is.
constexpr int sound_unavailable = 1;
