#include <benchmark/benchmark.h>

#include "bench_environment.h"

int main(int argc, char** argv) {
    // Namespaces first, while the process still has a single thread.
    bench::EnterSandbox();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
