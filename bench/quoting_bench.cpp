// Quoting a typical file name in each style into a caller's buffer.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "quoting.h"

namespace
{

void BM_quotearg_buffer(benchmark::State &state)
{
    support::quoting_options o{};
    o.style = static_cast<support::quoting_style>(state.range(0));
    const char arg[] = "/home/user/My Documents/report (final) it's \"v2\"\t\x01.txt";
    char buffer[256];
    for (auto _ : state)
        benchmark::DoNotOptimize(
            support::quotearg_buffer(buffer, sizeof buffer, arg, SIZE_MAX, &o));
    state.SetLabel(support::quoting_style_args[state.range(0)]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (sizeof arg - 1)));
}

BENCHMARK(BM_quotearg_buffer)->DenseRange(0, 6);

} // namespace
