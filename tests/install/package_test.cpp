// make package: the Debian package holds the programs, their pages and the library, carries
// sound metadata, and its programs run once unpacked.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run_program.h"
#include "temp_dir.h"
#include "tools.h"

namespace
{

// The value of a field of dpkg-deb -I's output ("" when absent).
std::string field(const std::string &info, const std::string &name)
{
    for (const auto &line : install_test::lines(info)) {
        size_t at = line.find_first_not_of(' ');
        if (at != std::string::npos && line.compare(at, name.size() + 2, name + ": ") == 0)
            return line.substr(at + name.size() + 2);
    }
    return "";
}

TEST(DebianPackage, HoldsTheProgramsAndPagesAndRuns)
{
    if (harness::under_emulator())
        GTEST_SKIP() << "a package for the target needs its C library registered with dpkg, "
                        "which the cross toolchain does not do";
    REQUIRE_TOOL(dpkg_deb, "dpkg-deb");
    REQUIRE_TOOL(dpkg, "dpkg");
    REQUIRE_TOOL(shlibdeps, "dpkg-shlibdeps");
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    install_test::run_ok(
        {CPACK_COMMAND, "-G", "DEB", "-B", dir, "--config", BUILD_DIR "/CPackConfig.cmake"});
    std::string deb;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".deb")
            deb = entry.path().string();
    ASSERT_NE(deb, "") << "no package in " << dir;

    std::string contents = install_test::run_ok({dpkg_deb, "-c", deb}).out;
    for (const char *path :
         {"./usr/bin/bigramlist", "./usr/bin/sndcheck", "./usr/sbin/sbscrub",
          "./usr/share/man/man1/bigramlist.1", "./usr/share/man/man1/sndcheck.1",
          "./usr/share/man/man8/sbscrub.8", "/libsupport.a", "./usr/include/bigram_tools/quoting.h",
          "/pkgconfig/bigram-tools-support.pc", "/examples/sbscrub.timer"})
        EXPECT_NE(contents.find(std::string(path) + "\n"), std::string::npos) << path;
    EXPECT_EQ(contents.find("/usr/local/"), std::string::npos) << contents;
    EXPECT_EQ(contents.find("stdout_state.h"), std::string::npos);

    std::string info = install_test::run_ok({dpkg_deb, "-I", deb}).out;
    std::string arch = install_test::run_ok({dpkg, "--print-architecture"}).out;
    arch = arch.substr(0, arch.find('\n'));
    struct {
        const char *name, *value;
    } fields[] = {
        {"Package", "bigram-tools"},
        {"Version", PROJECT_VERSION},
        {"Architecture", arch.c_str()},
        {"Section", "utils"},
    };
    for (const auto &f : fields)
        EXPECT_EQ(field(info, f.name), f.value) << f.name << "\n" << info;
    EXPECT_NE(field(info, "Maintainer"), "");
    EXPECT_NE(field(info, "Description"), "");
    // The programs link the C library; the dependency list names it.
    EXPECT_NE(field(info, "Depends").find("libc6"), std::string::npos) << info;

    std::string unpacked = dir + "/unpacked";
    install_test::run_ok({dpkg_deb, "-x", deb, unpacked});
    harness::RunResult r = harness::run_program(unpacked + "/usr/bin/bigramlist", {"bigramlist"},
                                                {.input = "/usr/bin\n/usr/lib\n"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/u\nsr\n/b\nin\nli\n");
    r = harness::run_program(unpacked + "/usr/sbin/sbscrub", {"sbscrub", "-h"});
    EXPECT_EQ(r.status, 0) << r.err;
}

} // namespace
