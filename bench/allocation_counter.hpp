#pragma once
// Counts the C++ heap allocations of the whole program: allocation_counter.cpp
// replaces the global operator new. Link it into a benchmark to check that a
// call allocates nothing.
//
//   std::uint64_t before = bench::allocationCount();
//   qz::findAnyNodeWithName(doc, name);
//   std::uint64_t made = bench::allocationCount() - before;

#include <cstdint>

namespace bench {

std::uint64_t allocationCount();

}  // namespace bench
