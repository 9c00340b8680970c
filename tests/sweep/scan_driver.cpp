// Runs the configuration scan once, for the allocation-failure sweep, and prints its documented
// result: the value found, or "null: " and the error. Exits 2 when the scan leaves a descriptor
// open.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config_scan.h"

namespace
{

// The lowest free descriptor number.
int lowest_free_descriptor()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s CONFIG DIRECTIVE\n", argv[0]);
        return 2;
    }
    int before = lowest_free_descriptor();
    errno = 0;
    char *value = util_scan_config(argv[1], argv[2]);
    int err = errno;
    if (lowest_free_descriptor() != before) {
        fprintf(stderr, "descriptor left open\n");
        return 2;
    }
    if (value == nullptr) {
        printf("null: %s\n", strerror(err));
        return 0;
    }
    printf("value: %s\n", value);
    free(value);
    return 0;
}
