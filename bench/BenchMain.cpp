// The benchmark binary's main: Google Benchmark's own, then the summary
// table of every figure against its target.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/BenchSummary.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!bench::CSummary::Get().Empty()) {
        std::fflush(stderr);
        std::printf("\nSummary (each figure against its baseline in this run)\n");
        bench::CSummary::Get().Print(stdout);
    }
    return 0;
}
