// Keys of the store: the bytes of a row and the cells they reach under a store's seeds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::okvs {

using Row = std::vector<std::string>;

// The row's strings (UTF-8) laid end to end, without separators.
std::string key_bytes(const Row& row);

// XXH3 64-bit with the default secret under the given seed.
uint64_t key_hash(std::string_view key, uint64_t seed);

struct KeyPositions {
    uint64_t p1;     // first sparse cell
    uint64_t p2;     // second sparse cell (may equal p1)
    uint64_t dense;  // whole third hash; its low 32 bits select dense cells
};

// Panics for m = 0: there is no cell to reach.
KeyPositions key_positions(std::string_view key, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t m);

}  // namespace kestrova::okvs
