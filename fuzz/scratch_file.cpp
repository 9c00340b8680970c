#include "scratch_file.h"

#include "check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace fuzz
{
namespace
{

std::string directory;
std::string file;

void remove_scratch()
{
    unlink(file.c_str());
    rmdir(directory.c_str());
}

} // namespace

const std::string &scratch_path()
{
    if (file.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz.XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        directory = pattern;
        file = directory + "/scoreboard";
        atexit(remove_scratch);
        write_scratch({});
    }
    return file;
}

void write_scratch(std::string_view bytes)
{
    // Written over and then cut to size: truncating to nothing first makes some file systems
    // flush the file at close, which would slow every run down to the disk's pace.
    int fd = open(scratch_path().c_str(), O_WRONLY | O_CREAT, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    FUZZ_CHECK(ftruncate(fd, static_cast<off_t>(bytes.size())) == 0);
    FUZZ_CHECK(close(fd) == 0);
}

std::string read_scratch()
{
    int fd = open(scratch_path().c_str(), O_RDONLY);
    FUZZ_CHECK(fd >= 0);
    std::string bytes;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, static_cast<size_t>(n));
    FUZZ_CHECK(n == 0);
    close(fd);
    return bytes;
}

} // namespace fuzz
