// The PaXoS store: the value of a key is the XOR of its two sparse cells and of
// the dense cells its mask selects. Every cell no key fixes is random.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "okvs/cell.h"
#include "okvs/hashable.h"

namespace kestrova::okvs {

// The double nearest to 2.4 (0x4003333333333333).
inline constexpr double kExpansionFactor = 2.4;

struct PaxosStore {
    uint64_t s0, s1, s2;
    std::vector<Cell> sparse;
    std::array<Cell, kDenseCells> dense;
};

// A store's cells where they already lie (a byte form in memory or a mapped
// file), decoded in place; the dense cells are copied, the sparse ones not.
struct StoreView {
    uint64_t s0, s1, s2;
    const uint8_t* sparse;  // m cells of kCellBytes
    uint64_t m;
    std::array<Cell, kDenseCells> dense;
};

StoreView view_of(const PaxosStore& store);

// m = ceil(n * 2.4) in double precision, saturated to the u64 range.
uint64_t sparse_cell_count(uint64_t n);

// Read-only and allocation-free; any key decodes to some value. A store without
// sparse cells yields the dense selection alone.
Cell paxos_decode(const PaxosStore& store, std::string_view key);
Cell paxos_decode(const StoreView& store, std::string_view key);

// paxos_decode in two halves, for runs of keys against a store far larger than
// the caches: fetch starts the loads of a key's two sparse cells, and
// decode_fetched (called for that key a while later) combines them.
struct SparsePair {
    const uint8_t* first = nullptr;
    const uint8_t* second = nullptr;
};
SparsePair paxos_fetch(const StoreView& store, std::string_view key);
Cell paxos_decode_fetched(const StoreView& store, std::string_view key, SparsePair cells);

}  // namespace kestrova::okvs
