// make package: the two Debian packages are built reproducibly, each holds what it should with
// sound metadata, the timer is enabled on installation, and the programs run once unpacked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <string>

#include "build_facts.h"
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

// The regular files and links of a package (dpkg-deb -c), each with its mode and owner.
std::map<std::string, std::string> contents(const std::string &dpkg_deb, const std::string &deb)
{
    std::map<std::string, std::string> files;
    const std::regex entry(R"(([-l][rwxsStT-]{9}) (\S+) +\d+ \S+ \S+ \./(\S+).*)");
    for (const auto &line : install_test::lines(install_test::run_ok({dpkg_deb, "-c", deb}).out)) {
        std::smatch m;
        if (std::regex_match(line, m, entry))
            files[m[3].str()] = m[1].str() + " " + m[2].str();
    }
    return files;
}

// The first output line of a command.
std::string first_line(const std::vector<std::string> &argv)
{
    std::string out = install_test::run_ok(argv).out;
    return out.substr(0, out.find('\n'));
}

TEST(DebianPackages, BuildReproduciblyAndHoldWhatTheyShould)
{
    if (harness::under_emulator())
        GTEST_SKIP() << "a package for the target needs its C library registered with dpkg, "
                        "which the cross toolchain does not do";
    REQUIRE_TOOL(sh, "sh");
    REQUIRE_TOOL(dpkg_deb, "dpkg-deb");
    REQUIRE_TOOL(dpkg_architecture, "dpkg-architecture");
    REQUIRE_TOOL(buildpackage, "dpkg-buildpackage");
    REQUIRE_TOOL(dh, "dh");
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    // Two builds at once, from different folders and with different umasks.
    const std::string script = std::string(build_facts::source_dir) + "/scripts/build-packages.sh";
    const std::string first = dir + "/a/out", second = dir + "/second-build/out";
    install_test::run_ok(
        {sh, "-c",
         "sh \"$0\" \"$1/work\" \"$1/out\" >\"$1.log\" 2>&1 & first=$!; "
         "(umask 077; sh \"$0\" \"$2/work\" \"$2/out\" >\"$2.log\" 2>&1) || { cat \"$2.log\"; "
         "exit 1; }; wait $first || { cat \"$1.log\"; exit 1; }",
         script, dir + "/a", dir + "/second-build"},
        {.env = {"SOURCE_DATE_EPOCH=1767225600"}, .timeout_ms = 600000});

    const std::string version = build_facts::project_version;
    const std::string arch = first_line({dpkg_architecture, "-qDEB_HOST_ARCH"});
    const std::string lib = "usr/lib/" + first_line({dpkg_architecture, "-qDEB_HOST_MULTIARCH"});
    const std::string bin = "-rwxr-xr-x root/root", data = "-rw-r--r-- root/root";
    struct Package {
        std::string name, section, multi_arch;
        std::vector<std::pair<std::string, std::string>> files; // path pattern, mode and owner
        std::string conffiles;
    } packages[] = {
        {"bigram-tools",
         "utils",
         "",
         {{"usr/bin/bigramlist", bin},
          {"usr/bin/sndcheck", bin},
          {"usr/sbin/sbscrub", bin},
          {"usr/share/man/man1/bigramlist\\.1\\.gz", data},
          {"usr/share/man/man1/sndcheck\\.1\\.gz", data},
          {"usr/share/man/man8/sbscrub\\.8\\.gz", data},
          {"lib/systemd/system/sbscrub\\.service", data},
          {"lib/systemd/system/sbscrub\\.timer", data},
          {"etc/cron\\.d/sbscrub", data},
          {"usr/share/doc/bigram-tools/(copyright|changelog\\.gz)", data}},
         "/etc/cron.d/sbscrub\n"},
        {"bigram-tools-dev",
         "libdevel",
         "same",
         {{"usr/include/bigram-tools/(line_reader|diagnostics|stream_closing|quoting)\\.h", data},
          {lib + "/libbigram-tools\\.a", data},
          {lib + "/cmake/bigram-tools/bigram-tools-(config|config-version|targets)\\.cmake", data},
          {lib + "/cmake/bigram-tools/bigram-tools-targets-[a-z]+\\.cmake", data},
          {lib + "/pkgconfig/bigram-tools\\.pc", data},
          {"usr/share/doc/bigram-tools-dev/(copyright|changelog\\.gz)", data}},
         ""},
    };
    std::vector<std::string> built;
    for (const auto &entry : std::filesystem::directory_iterator(first))
        if (entry.path().extension() == ".deb")
            built.push_back(entry.path().filename().string());
    std::sort(built.begin(), built.end());
    EXPECT_EQ(built, (std::vector<std::string>{"bigram-tools-dev_" + version + "_" + arch + ".deb",
                                               "bigram-tools_" + version + "_" + arch + ".deb"}));

    for (const auto &p : packages) {
        const std::string deb = first + "/" + p.name + "_" + version + "_" + arch + ".deb";
        ASSERT_TRUE(harness::exists(deb)) << deb;
        EXPECT_TRUE(harness::read_file(deb) ==
                    harness::read_file(second + deb.substr(first.size())))
            << p.name << " differs between two builds of the same source";

        std::cout << p.name << ":\n";
        const std::map<std::string, std::string> files = contents(dpkg_deb, deb);
        std::vector<std::string> paths, patterns;
        for (const auto &[path, mode] : files) {
            std::cout << "  " << mode << " " << path << "\n";
            paths.push_back(path);
        }
        for (const auto &[pattern, mode] : p.files)
            patterns.push_back(pattern);
        install_test::expect_matching_files(
            p.name, paths, patterns, [&](const std::string &path, size_t i) {
                EXPECT_EQ(files.at(path), p.files[i].second) << path;
            });

        std::string info = install_test::run_ok({dpkg_deb, "-I", deb}).out;
        const std::pair<const char *, std::string> fields[] = {{"Package", p.name},
                                                               {"Version", version},
                                                               {"Architecture", arch},
                                                               {"Section", p.section},
                                                               {"Multi-Arch", p.multi_arch}};
        for (const auto &[name, value] : fields)
            EXPECT_EQ(field(info, name), value) << p.name << " " << name << "\n" << info;
        std::string control = dir + "/" + p.name + ".control";
        install_test::run_ok({dpkg_deb, "-e", deb, control});
        std::string conffiles = control + "/conffiles";
        EXPECT_EQ(harness::exists(conffiles) ? harness::read_file(conffiles) : "", p.conffiles)
            << p.name;
    }

    // The programs link the C library, and the dependency list names it. The timer is enabled
    // on installation; the service runs only from the timer, not at installation.
    const std::string programs = first + "/bigram-tools_" + version + "_" + arch + ".deb";
    EXPECT_NE(field(install_test::run_ok({dpkg_deb, "-I", programs}).out, "Depends").find("libc6"),
              std::string::npos);
    std::string postinst = harness::read_file(dir + "/bigram-tools.control/postinst");
    EXPECT_NE(postinst.find("deb-systemd-helper enable 'sbscrub.timer'"), std::string::npos)
        << postinst;
    EXPECT_EQ(postinst.find("sbscrub.service"), std::string::npos) << postinst;

    // Unpacked, the programs run, and the schedules name the packaged scrubber.
    std::string unpacked = dir + "/unpacked";
    install_test::run_ok({dpkg_deb, "-x", programs, unpacked});
    install_test::expect_runs_as_built(unpacked + "/usr/bin/bigramlist", build_facts::bigramlist,
                                       {"bigramlist"}, "/usr/bin\n/usr/lib\n");
    install_test::expect_runs_as_built(unpacked + "/usr/sbin/sbscrub", build_facts::sbscrub,
                                       {"sbscrub", "-h"});
    EXPECT_NE(harness::read_file(unpacked + "/lib/systemd/system/sbscrub.service")
                  .find("\nExecStart=/usr/sbin/sbscrub\n"),
              std::string::npos);
    std::string cron = harness::read_file(unpacked + "/etc/cron.d/sbscrub");
    EXPECT_NE(cron.find("test ! -x /usr/sbin/sbscrub "), std::string::npos) << cron;
    EXPECT_NE(cron.find(" /usr/sbin/sbscrub\n"), std::string::npos) << cron;
}

} // namespace
