#pragma once

#include <cstdint>

// Heap allocations made by this process through operator new (all threads) since it started.
std::uint64_t operator_new_count();
