// The support library's record reader against the platform's, on records of one length.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "line_reader.h"

namespace
{

using Reader = ssize_t (*)(char **, size_t *, int, FILE *);

void read_records(benchmark::State &state, Reader reader)
{
    const auto length = static_cast<size_t>(state.range(0));
    std::string record(length - 1, 'x');
    record += '\n';
    std::string data;
    while (data.size() < (size_t{16} << 20))
        data += record;
    FILE *in = fmemopen(data.data(), data.size(), "r");
    char *line = nullptr;
    size_t size = 0;
    for (auto _ : state) {
        ssize_t n = reader(&line, &size, '\n', in);
        if (n < 0) {
            rewind(in);
            n = reader(&line, &size, '\n', in);
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
    free(line);
    fclose(in);
}

void BM_support_getdelim(benchmark::State &state)
{
    read_records(state, support::getdelim);
}
void BM_platform_getdelim(benchmark::State &state)
{
    read_records(state, ::getdelim);
}

BENCHMARK(BM_support_getdelim)->Arg(10)->Arg(100)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_platform_getdelim)->Arg(10)->Arg(100)->Arg(10000)->Arg(1000000);

} // namespace
