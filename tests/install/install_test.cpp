// make install: the tree it lays out under DESTDIR, programs outside the project that link the
// installed support library through find_package and through pkg-config, and make uninstall.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "build_facts.h"
#include "run_program.h"
#include "temp_dir.h"
#include "tools.h"

namespace
{

const std::string prefix = build_facts::install_prefix;
const std::string build_dir = build_facts::build_dir, libdir = build_facts::install_libdir;

// An exclusive lock on a file in the build tree, held while the guard lives: the tests' installs
// run one at a time, since each rewrites the build's install manifest.
struct install_lock {
    const int fd =
        open((build_dir + "/install-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    install_lock() { EXPECT_EQ(fd >= 0 ? flock(fd, LOCK_EX) : -1, 0) << strerror(errno); }
    ~install_lock()
    {
        if (fd >= 0)
            close(fd);
    }
    install_lock(const install_lock &) = delete;
    install_lock &operator=(const install_lock &) = delete;
};

class InstalledTree : public ::testing::Test
{
  protected:
    // Installs into dir/root and keeps the install manifest as dir/manifest.
    void SetUp() override
    {
        const install_lock lock;
        harness::RunResult r = install_test::run_ok(
            {build_facts::cmake_command, "--install", build_dir, "--prefix", prefix},
            {.env = {"DESTDIR=" + dir + "/root"}});
        ASSERT_EQ(r.status, 0);
        harness::write_file(dir + "/manifest",
                            harness::read_file(build_dir + "/install_manifest.txt"));
    }

    // Builds the consumer with g++ and the given extra arguments into dir/name.
    std::string compile_consumer(const std::string &name, const std::vector<std::string> &flags)
    {
        std::vector<std::string> argv = {build_facts::cxx_compiler,
                                         "-std=c++20",
                                         "-Wall",
                                         "-Wextra",
                                         "-Werror",
                                         std::string(build_facts::consumer_dir) + "/consumer.cpp",
                                         "-o",
                                         dir + "/" + name};
        argv.insert(argv.end(), flags.begin(), flags.end());
        std::stringstream extra(build_facts::consumer_ldflags);
        for (std::string flag; extra >> flag;)
            argv.push_back(flag);
        install_test::run_ok(argv);
        return dir + "/" + name;
    }

    const harness::temp_dir scratch;
    const std::string dir = scratch.path();          // everything the test makes
    const std::string root = dir + "/root" + prefix; // the installation prefix under DESTDIR
};

// What every consumer of the library does: quote each input line for a shell, and report a
// lost write at exit.
void expect_consumer_works(const std::string &consumer)
{
    harness::RunOptions in{.input = "it's\nplain\n"};
    harness::expect_run(harness::run_program(consumer, {"consumer"}, in), 0,
                        "'it'\\''s'\n'plain'\n", "", "consumer");
    in.out = harness::full();
    harness::expect_run(harness::run_program(consumer, {"consumer"}, in), 1, "",
                        "consumer: write error: No space left on device\n",
                        "consumer, full device");
}

TEST_F(InstalledTree, HoldsTheProgramsPagesLibraryAndPackageFiles)
{
    const std::string lib = libdir, doc = build_facts::install_docdir;
    const std::string unit = build_facts::install_unit_dir;
    struct Expected {
        std::string path; // a regular expression for the path below the prefix
        bool executable;
    } expected[] = {
        {"bin/bigramlist", true},
        {"bin/sndcheck", true},
        {"sbin/sbscrub", true},
        {"share/man/man1/bigramlist\\.1", false},
        {"share/man/man1/sndcheck\\.1", false},
        {"share/man/man8/sbscrub\\.8", false},
        {lib + "/libbigram-tools\\.a", false},
        {"include/bigram-tools/line_reader\\.h", false},
        {"include/bigram-tools/diagnostics\\.h", false},
        {"include/bigram-tools/stream_closing\\.h", false},
        {"include/bigram-tools/quoting\\.h", false},
        {lib + "/cmake/bigram-tools/bigram-tools-config\\.cmake", false},
        {lib + "/cmake/bigram-tools/bigram-tools-config-version\\.cmake", false},
        {lib + "/cmake/bigram-tools/bigram-tools-targets\\.cmake", false},
        {lib + "/cmake/bigram-tools/bigram-tools-targets-[a-z]+\\.cmake", false},
        {lib + "/pkgconfig/bigram-tools\\.pc", false},
        {unit + "/sbscrub\\.service", false},
        {unit + "/sbscrub\\.timer", false},
        {doc + "/examples/sbscrub\\.cron", false},
    };
    std::vector<std::string> tree = install_test::list_tree(root);
    std::cout << "Installed below " << prefix << ":\n";
    for (const auto &path : tree)
        std::cout << "  " << path << "\n";

    std::vector<std::string> patterns;
    for (const auto &e : expected)
        patterns.push_back(e.path);
    install_test::expect_matching_files(
        prefix, tree, patterns, [&](const std::string &path, size_t i) {
            struct stat st;
            ASSERT_EQ(stat((root + "/" + path).c_str(), &st), 0) << path;
            EXPECT_EQ((st.st_mode & 0111) != 0, expected[i].executable) << path;
            EXPECT_EQ(st.st_mode & 0022, 0u) << path << " is writable by others";
        });
}

TEST_F(InstalledTree, PublicHeadersCompileOnTheirOwn)
{
    // A header that leans on a private one, or on an include of its user, fails here.
    for (const char *header : {"line_reader.h", "diagnostics.h", "stream_closing.h", "quoting.h"}) {
        const harness::RunOptions source{.input = std::string("#include <bigram-tools/") + header +
                                                  ">\n"};
        harness::RunResult r = harness::run_program(
            build_facts::cxx_compiler,
            {build_facts::cxx_compiler, "-std=c++20", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
             "-fsyntax-only", "-I" + root + "/include", "-x", "c++", "-"},
            source);
        harness::expect_run(r, 0, "", "", header);
    }
}

TEST_F(InstalledTree, FindPackageBuildsAConsumer)
{
    std::string build = dir + "/consumer-build";
    std::vector<std::string> configure = {
        build_facts::cmake_command,
        "-S",
        build_facts::consumer_dir,
        "-B",
        build,
        "-G",
        build_facts::cmake_generator,
        std::string("-DCMAKE_CXX_COMPILER=") + build_facts::cxx_compiler,
        "-DCMAKE_PREFIX_PATH=" + root,
        std::string("-DCMAKE_EXE_LINKER_FLAGS=") + build_facts::consumer_ldflags};
    // A cross build searches only the target's root for packages, and below the staging prefix.
    if (std::string(build_facts::toolchain_file) != "")
        configure.insert(configure.end(),
                         {std::string("-DCMAKE_TOOLCHAIN_FILE=") + build_facts::toolchain_file,
                          "-DCMAKE_STAGING_PREFIX=" + root});
    install_test::run_ok(configure);
    // The package came from the installed tree, not from anywhere else on the host.
    std::smatch found;
    std::string cache = harness::read_file(build + "/CMakeCache.txt");
    ASSERT_TRUE(std::regex_search(cache, found, std::regex("bigram-tools_DIR:PATH=(.*)")));
    EXPECT_EQ(found[1].str().rfind(root + "/", 0), 0u) << found[1];

    install_test::run_ok({build_facts::cmake_command, "--build", build});
    expect_consumer_works(build + "/consumer");
}

TEST_F(InstalledTree, PkgConfigBuildsAConsumer)
{
    REQUIRE_TOOL(pkg_config, "pkg-config");
    // Only the installed tree is searched.
    const harness::RunOptions search{
        .env = {"PKG_CONFIG_LIBDIR=" + root + "/" + libdir + "/pkgconfig", "PKG_CONFIG_PATH="}};
    harness::RunResult version =
        install_test::run_ok({pkg_config, "--modversion", "bigram-tools"}, search);
    EXPECT_EQ(version.out, std::string(build_facts::project_version) + "\n");
    harness::RunResult flags =
        install_test::run_ok({pkg_config, "--cflags", "--libs", "bigram-tools"}, search);
    ASSERT_EQ(flags.status, 0);

    std::vector<std::string> args;
    std::stringstream words(flags.out);
    for (std::string word; words >> word;) {
        args.push_back(word);
        // Every directory it names is inside the installed tree.
        if (word.rfind("-I", 0) == 0 || word.rfind("-L", 0) == 0) {
            EXPECT_EQ(word.rfind(root + "/", 2), 2u) << word;
        }
    }
    // An unrelated shared library of a common name beside the installed one is not linked.
    install_test::run_ok({build_facts::cxx_compiler, "-shared", "-fPIC", "-x", "c++", "/dev/null",
                          "-o", root + "/" + libdir + "/libsupport.so"});
    expect_consumer_works(compile_consumer("consumer", args));
}

TEST_F(InstalledTree, SchedulesRunTheInstalledScrubber)
{
    const std::string installed = prefix + "/sbin/sbscrub";
    EXPECT_EQ(access((dir + "/root" + installed).c_str(), X_OK), 0) << installed;
    std::smatch m;
    std::string service =
        harness::read_file(root + "/" + build_facts::install_unit_dir + "/sbscrub.service");
    ASSERT_TRUE(std::regex_search(service, m, std::regex("\nExecStart=(\\S+)\n"))) << service;
    EXPECT_EQ(m[1].str(), installed);
    std::string cron =
        harness::read_file(root + "/" + build_facts::install_docdir + "/examples/sbscrub.cron");
    EXPECT_NE(cron.find(" " + installed + "\n"), std::string::npos) << cron;
}

TEST_F(InstalledTree, UninstallRemovesWhatWasInstalled)
{
    REQUIRE_TOOL(sh, "sh");
    // Files of others beside the installed ones stay, and so do their folders.
    const std::vector<std::string> others = {"bin/other", "include/other.h"};
    for (const auto &path : others)
        harness::write_file(root + "/" + path, "");
    const std::string script = std::string(build_facts::source_dir) + "/scripts/uninstall.sh",
                      list = dir + "/installed";
    install_test::run_ok({sh, script, "--record", dir + "/manifest", list});
    install_test::run_ok({sh, script, list}, {.env = {"DESTDIR=" + dir + "/root"}});
    EXPECT_EQ(install_test::list_tree(root), others);
    // The folders of the project's own name are gone.
    for (const std::string &path : std::vector<std::string>{
             "include/bigram-tools", libdir + "/cmake/bigram-tools", build_facts::install_docdir})
        EXPECT_FALSE(std::filesystem::exists(root + "/" + path)) << path;
}

TEST_F(InstalledTree, InstalledProgramsRun)
{
    install_test::expect_runs_as_built(root + "/bin/bigramlist", build_facts::bigramlist,
                                       {"bigramlist", "-h"}, "/usr/bin\n/usr/lib\n");
    install_test::expect_runs_as_built(root + "/bin/sndcheck", build_facts::sndcheck,
                                       {"sndcheck", "-h"});
    install_test::expect_runs_as_built(root + "/sbin/sbscrub", build_facts::sbscrub,
                                       {"sbscrub", "-h"});
}

} // namespace
