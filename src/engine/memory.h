// What this process may still allocate, as the kernel reports it.
#pragma once

#include <cstdint>
#include <string>

namespace kestrova::engine {

// MemAvailable, lowered to the cgroup's remaining allowance where one is set;
// UINT64_MAX when neither can be read.
uint64_t available_memory();

// "1.6 GiB", or "840 MiB" below one GiB
std::string gib(uint64_t bytes);
// "1,000,000"
std::string grouped(uint64_t n);

}  // namespace kestrova::engine
