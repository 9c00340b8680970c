#include "busy_daemon.h"
#include "standin.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>

namespace stress
{
namespace
{

using standin::header_size;
using standin::slot_size;

const std::string zeros(slot_size, '\0');

struct Daemon {
    int fd = -1;
    std::string header;
    std::vector<SlotState> slots;
    const std::vector<pid_t> &live;
    const std::vector<pid_t> &dead;
    std::mt19937 rng;
    uint32_t next_generation = 1000;
    DaemonReport report;

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
};

[[gnu::format(printf, 2, 3)]] void violation(Daemon &d, const char *format, ...)
{
    if (d.report.violations++ == 0) {
        va_list args;
        va_start(args, format);
        vsnprintf(d.report.first_violation, sizeof d.report.first_violation, format, args);
        va_end(args);
    }
}

bool write_at(int fd, const char *bytes, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t w = pwrite(fd, bytes, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        bytes += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return true;
}

const char *kind_name(SlotState::Kind kind)
{
    return kind == SlotState::live ? "live" : kind == SlotState::stale ? "stale" : "empty";
}

// Compares the file with what the daemon wrote. Between turns a stale slot may have been
// cleared; any other difference, and any at all while the daemon held the lock (held), is a
// violation, after which the daemon takes the file as it is.
void check(Daemon &d, bool held)
{
    std::string file = read_all(d.fd);
    size_t expected = header_size + d.slots.size() * slot_size;
    if (file.size() != expected) {
        violation(d, "the file is %zu bytes, the daemon wrote %zu", file.size(), expected);
        file.resize(expected, '\0');
    }
    if (file.compare(0, header_size, d.header) != 0)
        violation(d, "the header was changed");
    for (size_t i = 0; i < d.slots.size(); ++i) {
        SlotState &s = d.slots[i];
        std::string_view slot =
            std::string_view(file).substr(header_size + i * slot_size, slot_size);
        if (slot == (s.kind == SlotState::empty ? zeros : standin::slot_bytes(s.generation, s.pid)))
            continue;
        if (!held && s.kind == SlotState::stale && slot == zeros) {
            ++d.report.seen_cleared;
        } else {
            violation(d, "slot %zu (%s, pid %d) was %s%s", i, kind_name(s.kind), s.pid,
                      slot == zeros ? "cleared" : "changed",
                      held ? " while the daemon held the lock" : "");
            if (slot != zeros)
                continue;
        }
        s = SlotState{};
    }
}

// Writes a slot in three pieces, the pid last, so that the slot is inconsistent between them;
// on slow turns the daemon pauses there, still holding the lock.
void write_slot(Daemon &d, size_t i, const SlotState &s, bool slow)
{
    std::string bytes =
        s.kind == SlotState::empty ? zeros : standin::slot_bytes(s.generation, s.pid);
    const off_t at = static_cast<off_t>(header_size + i * slot_size);
    const size_t half = slot_size / 2;
    auto pause = [slow] { slow ? usleep(200) : sched_yield(); };
    bool ok = write_at(d.fd, bytes.data() + 4, half - 4, at + 4);
    pause();
    ok = ok && write_at(d.fd, bytes.data() + half, slot_size - half, at + half);
    pause();
    ok = ok && write_at(d.fd, bytes.data(), 4, at);
    if (!ok)
        violation(d, "cannot write slot %zu: %s", i, strerror(errno));
    if (i >= d.slots.size())
        d.slots.resize(i + 1);
    d.slots[i] = s;
    ++d.report.writes;
}

SlotState new_holder(Daemon &d)
{
    bool stale = d.pick(2) == 0;
    const auto &pool = stale ? d.dead : d.live;
    return {stale ? SlotState::stale : SlotState::live, pool[d.pick(pool.size())],
            d.next_generation++};
}

// One change under the lock: rewrite a live slot, take a slot (an empty one or a new one at the
// end), release a slot, or cut empty slots off the end of the file.
void change(Daemon &d, bool slow)
{
    std::vector<size_t> live, empty, held;
    for (size_t i = 0; i < d.slots.size(); ++i) {
        (d.slots[i].kind == SlotState::empty ? empty : held).push_back(i);
        if (d.slots[i].kind == SlotState::live)
            live.push_back(i);
    }
    size_t roll = d.pick(100);
    if (roll < 40 && !live.empty()) {
        size_t i = live[d.pick(live.size())];
        SlotState s = d.slots[i];
        s.generation = d.next_generation++;
        write_slot(d, i, s, slow);
    } else if (roll < 70 && (!empty.empty() || d.slots.size() < max_slots)) {
        size_t i = empty.empty() ? d.slots.size() : empty[d.pick(empty.size())];
        write_slot(d, i, new_holder(d), slow);
    } else if (roll < 90 && !held.empty()) {
        write_slot(d, held[d.pick(held.size())], SlotState{}, slow);
    } else {
        size_t keep = d.slots.size();
        while (keep > 4 && d.slots[keep - 1].kind == SlotState::empty)
            --keep;
        if (keep < d.slots.size() &&
            ftruncate(d.fd, static_cast<off_t>(header_size + keep * slot_size)) == 0)
            d.slots.resize(keep);
    }
}

bool stop_requested(int stop_fd)
{
    pollfd p{stop_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

} // namespace

std::string read_all(int fd)
{
    std::string bytes;
    char chunk[8192];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes.append(chunk, static_cast<size_t>(n));
        at += n;
    }
}

void run_daemon(const std::string &path, const std::vector<SlotState> &initial,
                const std::vector<pid_t> &live, const std::vector<pid_t> &dead, unsigned seed,
                int stop_fd, int report_fd)
{
    Daemon d{-1, {}, initial, live, dead, std::mt19937(seed), 1000, {}};
    d.fd = open(path.c_str(), O_RDWR);
    if (d.fd < 0) {
        violation(d, "cannot open %s: %s", path.c_str(), strerror(errno));
    } else {
        d.header = read_all(d.fd).substr(0, header_size);
        for (bool last = false; !last;) {
            last = stop_requested(stop_fd);
            if (!standin::lock_whole(d.fd, F_WRLCK)) {
                violation(d, "cannot lock: %s", strerror(errno));
                break;
            }
            ++d.report.turns;
            check(d, false);
            // Now and then a slow turn, so that anyone who ignores the lock has time to act.
            bool slow = d.pick(10) == 0;
            if (!last)
                change(d, slow);
            if (slow)
                usleep(500);
            check(d, true);
            standin::lock_whole(d.fd, F_UNLCK);
            usleep(static_cast<useconds_t>(d.pick(300)));
        }
        close(d.fd);
    }
    d.report.slot_count = static_cast<uint32_t>(d.slots.size());
    for (size_t i = 0; i < d.slots.size() && i < max_slots; ++i)
        d.report.slots[i] = d.slots[i];
    const char *bytes = reinterpret_cast<const char *>(&d.report);
    for (size_t done = 0; done < sizeof d.report;) {
        ssize_t n = write(report_fd, bytes + done, sizeof d.report - done);
        if (n <= 0 && errno != EINTR)
            break;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
}

} // namespace stress
