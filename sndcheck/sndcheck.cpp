// sndcheck: tells its caller by exit status whether the sound interface is available. This build
// has no sound interface, so the answer is always no.
#include <cstdlib>

#include "build_info.h"
#include "sound_interface.h"
#include "what_string.h"

WHAT_STRING(sndcheck_cpp_id, "sndcheck.cpp\t1.0\t2026-12-08");

int main()
{
    exit(sound_unavailable);
}
