// The scoreboard's fields are raw memory images in the host's byte order: the records written
// as they are give these bytes, and the routines read them back. The expected bytes are spelled
// out here for either byte order, so the same tests hold on both kinds of machine.
#include "run_program.h"
#include "scoreboard.h"
#include "scoreboard_fixture.h"
#include "standin.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace
{

constexpr bool big_endian = std::endian::native == std::endian::big;

// The four bytes of v, most significant first.
std::string big(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}
// The four bytes of v, least significant first.
std::string little(uint32_t v)
{
    std::string b = big(v);
    return {b.rbegin(), b.rend()};
}
// The four bytes of v as this machine stores them, and as the other kind would.
std::string host(uint32_t v)
{
    return big_endian ? big(v) : little(v);
}
std::string foreign(uint32_t v)
{
    return big_endian ? little(v) : big(v);
}

using ByteOrder = scoreboard_fixture;

TEST_F(ByteOrder, RecordsAreWrittenInTheHostsOrder)
{
    scoreboard_header h{SCOREBOARD_MAGIC, SCOREBOARD_VERSION, 0x00012345, 0x0A0B0C0D};
    scoreboard_entry e{};
    e.pid = 0x01020304;
    e.data[0] = 0x11;
    e.data[611] = 0x22;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, &h, sizeof h), static_cast<ssize_t>(sizeof h));
    ASSERT_EQ(write(fd, &e, sizeof e), static_cast<ssize_t>(sizeof e));
    close(fd);

    std::string bytes = harness::read_file(path);
    ASSERT_EQ(bytes.size(), standin::header_size + standin::slot_size);
    // The format's own numbers, spelled out: the one place that pins SCOREBOARD_MAGIC and
    // SCOREBOARD_VERSION, which every other test takes from the header.
    const std::string magic_and_version =
        big_endian ? "\xDE\xAD\xBE\xEF\x01\x04\x00\x03" : "\xEF\xBE\xAD\xDE\x03\x00\x04\x01";
    struct Field {
        const char *what;
        size_t offset;
        std::string want;
    } fields[] = {
        {"magic and version", 0, magic_and_version},
        {"daemon pid", 8, host(0x00012345)},
        {"daemon uptime", 12, host(0x0A0B0C0D)},
        {"slot pid", standin::header_size, host(0x01020304)},
        {"first data byte", standin::header_size + offsetof(scoreboard_entry, data), "\x11"},
        {"last data byte", standin::header_size + standin::slot_size - 1, "\x22"},
    };
    for (const auto &f : fields)
        EXPECT_EQ(bytes.substr(f.offset, f.want.size()), f.want) << f.what;
}

TEST_F(ByteOrder, RoutinesReadTheHostsOrderAndRefuseTheOther)
{
    const pid_t self = getpid();
    struct Case {
        const char *what;
        std::string (*order)(uint32_t);
        int opened;              // util_open_scoreboard's result
        uint32_t daemon, uptime; // the header's words as read
    } cases[] = {
        {"host order", host, 0, 0x00012345, 0x0A0B0C0D},
        {"the other order", foreign, -2, 0x45230100, 0x0D0C0B0A},
    };
    for (const auto &c : cases) {
        std::string slot = c.order(static_cast<uint32_t>(self)) +
                           std::string(sizeof(scoreboard_entry::data), '\x5A');
        harness::write_file(path, c.order(SCOREBOARD_MAGIC) + c.order(SCOREBOARD_VERSION) +
                                      c.order(0x00012345) + c.order(0x0A0B0C0D) +
                                      std::string(standin::slot_size, '\0') + slot);
        ASSERT_EQ(util_set_scoreboard(path.c_str()), 0) << c.what << ": " << strerror(errno);
        ASSERT_EQ(util_open_scoreboard(O_RDONLY), c.opened) << c.what;
        EXPECT_EQ(util_scoreboard_get_daemon_pid(), static_cast<pid_t>(c.daemon)) << c.what;
        EXPECT_EQ(util_scoreboard_get_daemon_uptime(), c.uptime) << c.what;
        if (c.opened == 0) {
            scoreboard_entry *e = util_scoreboard_entry_read();
            ASSERT_NE(e, nullptr) << c.what;
            EXPECT_EQ(e->pid, self) << c.what;
            EXPECT_EQ(util_scoreboard_entry_read(), nullptr) << c.what;
            EXPECT_EQ(errno, 0) << c.what;
        }
        util_close_scoreboard();
    }
}

} // namespace
