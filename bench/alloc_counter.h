// Counts heap allocations made through the global operator new, for the
// benchmarks' allocation counters. One definition of the replacement
// operators serves every benchmark of the executable.
#pragma once

#include <cstdint>

namespace vantor::bench {

// Allocations made through operator new since the process started.
std::uint64_t HeapAllocations();

}  // namespace vantor::bench
