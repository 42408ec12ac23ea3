// The one entry point of the benchmark executable.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
