// The scoreboard reader and the scrub over arbitrary file contents. The reader must report the
// header checks and return exactly the occupied slots in file order; the scrub must refuse what
// the reader refuses, and may only write zeros over whole slots whose pid names no process, and
// must clear every such slot.
#include "check.h"
#include "scoreboard.h"
#include "scratch_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace
{

constexpr size_t header_size = sizeof(scoreboard_header);
constexpr size_t slot_size = sizeof(scoreboard_entry);

uint32_t word(std::string_view bytes, size_t at)
{
    uint32_t v = 0;
    memcpy(&v, bytes.data() + at, 4);
    return v;
}

// Whether a slot's pid names no process at all: a negative one never does.
bool gone(int32_t pid)
{
    return pid < 0 || (pid > 0 && kill(pid, 0) < 0 && errno == ESRCH);
}

int expected_open_result(std::string_view file)
{
    if (file.size() < header_size)
        return -1;
    if (word(file, 0) != SCOREBOARD_MAGIC)
        return -2;
    if (word(file, 4) < SCOREBOARD_VERSION)
        return -3;
    return word(file, 4) > SCOREBOARD_VERSION ? -4 : 0;
}

void check_reader(std::string_view file)
{
    int rc = util_open_scoreboard(O_RDONLY);
    FUZZ_CHECK(rc == expected_open_result(file));
    if (rc != -1) {
        FUZZ_CHECK(static_cast<uint32_t>(util_scoreboard_get_daemon_pid()) == word(file, 8));
        FUZZ_CHECK(util_scoreboard_get_daemon_uptime() == word(file, 12));
    }
    // Slots follow the header; a trailing partial slot counts, padded with zeros.
    for (size_t at = header_size; at < file.size(); at += slot_size) {
        std::string slot(file.substr(at, slot_size));
        slot.resize(slot_size, '\0');
        if (word(slot, 0) == 0)
            continue;
        scoreboard_entry *e = util_scoreboard_entry_read();
        FUZZ_CHECK(e != nullptr);
        FUZZ_CHECK(memcmp(e, slot.data(), slot_size) == 0);
    }
    FUZZ_CHECK(util_scoreboard_entry_read() == nullptr);
    FUZZ_CHECK(errno == 0);
    FUZZ_CHECK(util_close_scoreboard() == 0);
}

void check_scrub(std::string_view before)
{
    // A file too short for a header has no slots; one with a header is scrubbed only when the
    // header passes the reader's checks, and is otherwise left as it was.
    const int expected = before.size() < header_size ? 0 : expected_open_result(before);
    FUZZ_CHECK(util_scoreboard_scrub(1) == expected);
    std::string after = fuzz::read_scratch();
    if (expected != 0) {
        FUZZ_CHECK(after == before);
        return;
    }
    FUZZ_CHECK(after.size() == before.size());
    size_t at = before.size() < header_size ? before.size() : header_size;
    FUZZ_CHECK(after.compare(0, at, before.substr(0, at)) == 0);
    const std::string zeros(slot_size, '\0');
    for (; at + slot_size <= before.size(); at += slot_size) {
        std::string_view was = before.substr(at, slot_size);
        std::string_view now = std::string_view(after).substr(at, slot_size);
        bool stale = gone(static_cast<int32_t>(word(was, 0)));
        FUZZ_CHECK(now == (stale ? std::string_view(zeros) : was));
    }
    FUZZ_CHECK(after.compare(at, std::string::npos, before.substr(at)) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The scrub's verbose messages go nowhere; libFuzzer reports on standard error.
    int null = open("/dev/null", O_WRONLY);
    FUZZ_CHECK(null >= 0 && dup2(null, STDOUT_FILENO) == STDOUT_FILENO);
    close(null);
    FUZZ_CHECK(util_set_scoreboard(fuzz::scratch_path().c_str()) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view file(reinterpret_cast<const char *>(data), size);
    fuzz::write_scratch(file);
    check_reader(file);
    check_scrub(file);
    return 0;
}
