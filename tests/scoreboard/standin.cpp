#include "standin.h"

#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace standin
{

namespace
{

void put32(std::string &out, uint32_t v)
{
    out.append(reinterpret_cast<const char *>(&v), 4);
}

uint32_t get32(const std::string &bytes, size_t at)
{
    uint32_t v;
    memcpy(&v, bytes.data() + at, 4);
    return v;
}

} // namespace

std::string slot_bytes(size_t tag, int32_t pid)
{
    std::string slot;
    put32(slot, static_cast<uint32_t>(pid));
    put32(slot, static_cast<uint32_t>(tag));
    for (size_t i = slot.size(); i < slot_size; ++i)
        slot.push_back(static_cast<char>(
            (static_cast<uint32_t>(tag) * 31u + static_cast<uint32_t>(pid) * 7u + i) % 251 + 1));
    return slot;
}

int32_t slot_pid(std::string_view slot)
{
    int32_t pid;
    memcpy(&pid, slot.data(), 4);
    return pid;
}

bool slot_whole(std::string_view slot)
{
    if (slot.size() != slot_size)
        return false;
    if (slot == std::string(slot_size, '\0'))
        return true;
    uint32_t tag;
    memcpy(&tag, slot.data() + 4, 4);
    return slot == slot_bytes(tag, slot_pid(slot));
}

std::string build(const Board &board)
{
    std::string out;
    put32(out, board.magic);
    put32(out, board.version);
    put32(out, static_cast<uint32_t>(board.daemon_pid));
    put32(out, board.daemon_uptime);
    for (size_t i = 0; i < board.pids.size(); ++i)
        out += slot_bytes(i, board.pids[i]);
    out += slot_bytes(board.pids.size(), board.partial_pid).substr(0, board.partial);
    return out;
}

std::string scrubbed(const Board &board, const std::vector<int32_t> &gone)
{
    std::string bytes = build(board);
    for (size_t i = 0; i < board.pids.size(); ++i)
        for (int32_t g : gone)
            if (board.pids[i] == g && g != 0)
                bytes.replace(header_size + i * slot_size, slot_size, std::string(slot_size, '\0'));
    return bytes;
}

void write(const std::string &path, const Board &board)
{
    harness::write_file(path, build(board));
}

std::vector<refused_path> make_refused_paths(const std::string &dir, const std::string &target)
{
    if (symlink(target.c_str(), (dir + "/link").c_str()) < 0 ||
        mkfifo((dir + "/fifo").c_str(), 0600) < 0 || mkdir((dir + "/directory").c_str(), 0700) < 0)
        throw std::runtime_error("cannot make the refused paths in " + dir);
    return {{dir + "/link", EPERM}, {dir + "/fifo", EPERM}, {dir + "/directory/", EISDIR}};
}

pid_t dead_pid()
{
    pid_t pid = harness::start_child([] {});
    harness::wait_for(pid);
    return pid;
}

bool lock_whole(int fd, short type)
{
    struct flock fl {
    };
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    while (fcntl(fd, F_SETLKW, &fl) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

Holder hold_lock(const std::string &path, short type, int ms)
{
    int ready[2];
    if (pipe(ready) < 0)
        throw std::runtime_error("pipe");
    pid_t pid = harness::start_child([&] {
        close(ready[0]);
        int fd = open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
        char c = 'L';
        if (fd < 0 || !lock_whole(fd, type) || ::write(ready[1], &c, 1) != 1)
            _exit(1);
        usleep(static_cast<useconds_t>(ms) * 1000);
    });
    close(ready[1]);
    char c;
    ssize_t n;
    do
        n = read(ready[0], &c, 1);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    Holder h{pid};
    if (n != 1) {
        release(h);
        h.pid = -1;
    }
    return h;
}

int release(Holder &holder)
{
    if (holder.pid < 0)
        return -1;
    int status = harness::wait_for(holder.pid);
    if (status == -1)
        return -1;
    holder.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool lockable(const std::string &path)
{
    pid_t pid = harness::start_child([&] {
        int fd = open(path.c_str(), O_RDWR);
        struct flock fl {
        };
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLK, &fl) < 0)
            _exit(1);
    });
    int status = harness::wait_for(pid);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string describe(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return "cannot read " + path + "\n";
    std::ostringstream in;
    in << f.rdbuf();
    std::string bytes = in.str();
    std::ostringstream out;
    if (bytes.size() < header_size) {
        out << "short file of " << bytes.size() << " bytes\n";
        return out.str();
    }
    char line[160];
    snprintf(line, sizeof line, "header: magic %08X version %08X daemon pid %d uptime %u\n",
             get32(bytes, 0), get32(bytes, 4), static_cast<int32_t>(get32(bytes, 8)),
             get32(bytes, 12));
    out << line;
    size_t at = header_size, index = 0;
    for (; at + slot_size <= bytes.size(); at += slot_size, ++index) {
        std::string_view slot = std::string_view(bytes).substr(at, slot_size);
        int32_t pid = slot_pid(slot);
        const char *state = slot == std::string(slot_size, '\0') ? "cleared (all zero)"
                            : slot_whole(slot)                   ? "as written"
                                                                 : "changed";
        bool alive = pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
        snprintf(line, sizeof line, "slot %zu at offset %zu: pid %d%s, %s\n", index, at, pid,
                 pid == 0 ? " (empty)"
                 : alive  ? " (running)"
                          : " (gone)",
                 state);
        out << line;
    }
    if (at < bytes.size())
        out << "trailing partial slot of " << bytes.size() - at << " bytes\n";
    return out.str();
}

} // namespace standin
