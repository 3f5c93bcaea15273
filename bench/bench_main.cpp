// Benchmark program entry: Google Benchmark's own main, with the project's benchmarks linked in.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
