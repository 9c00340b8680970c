// Writes a large, realistic, sorted list of path names: deep directory trees whose entries
// share long prefixes, ordinary and long file names. The same seed gives the same list.
//
// usage: gen_paths SIZE_MB SEED OUTPUT
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace
{

const char *const words[] = {
    "src",    "lib",     "include", "share",   "doc",     "man",     "bin",     "etc",
    "var",    "cache",   "log",     "home",    "user",    "project", "build",   "test",
    "data",   "images",  "fonts",   "locale",  "python3", "site",    "package", "module",
    "kernel", "drivers", "net",     "fs",      "arch",    "config",  "backup",  "2026",
    "assets", "vendor",  "node",    "release", "debug",   "x86_64",  "common",  "util",
};
const char *const extensions[] = {".c",  ".h",  ".txt",  ".html", ".png", ".so.1",
                                  ".py", ".gz", ".conf", ".md",   "",     ".json"};

struct Generator {
    std::mt19937_64 rng;
    std::vector<std::string> lines;
    size_t bytes = 0, limit;

    size_t pick(size_t n) { return static_cast<size_t>(rng() % n); }

    std::string name()
    {
        std::string s = words[pick(std::size(words))];
        if (pick(3) == 0) {
            s += '_';
            s += words[pick(std::size(words))];
        }
        if (pick(4) == 0)
            s += std::to_string(pick(1000));
        if (pick(50) == 0) // now and then a very long name
            s += std::string(100 + pick(150), static_cast<char>('a' + pick(26)));
        return s;
    }

    void add(const std::string &path)
    {
        lines.push_back(path);
        bytes += path.size() + 1;
    }

    void tree(const std::string &dir, int depth)
    {
        size_t files = pick(depth > 3 ? 30 : 8);
        for (size_t i = 0; i < files && bytes < limit; ++i)
            add(dir + "/" + name() + extensions[pick(std::size(extensions))]);
        size_t dirs = depth >= 9 ? 0 : 1 + pick(depth < 2 ? 6 : 4);
        for (size_t i = 0; i < dirs && bytes < limit; ++i) {
            std::string sub = dir + "/" + name();
            add(sub);
            tree(sub, depth + 1);
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: gen_paths SIZE_MB SEED OUTPUT\n");
        return 2;
    }
    Generator g{std::mt19937_64(strtoull(argv[2], nullptr, 10)),
                {},
                0,
                strtoull(argv[1], nullptr, 10) << 20};
    while (g.bytes < g.limit) {
        std::string top = "/";
        top += g.name();
        g.tree(top, 0);
    }
    std::sort(g.lines.begin(), g.lines.end());
    FILE *out = fopen(argv[3], "w");
    if (!out) {
        perror(argv[3]);
        return 1;
    }
    for (const auto &l : g.lines) {
        fwrite(l.data(), 1, l.size(), out);
        putc('\n', out);
    }
    if (fclose(out) != 0) {
        perror(argv[3]);
        return 1;
    }
    return 0;
}
