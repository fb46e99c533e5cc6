// The PaXoS store: the value of a key is the XOR of its two sparse cells and of
// the dense cells its mask selects. Every cell no key fixes is random.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "okvs/cell.h"
#include "okvs/elimination.h"
#include "okvs/graph.h"
#include "okvs/hashable.h"
#include "random/generator.h"

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

// What the attempts of one encoding ran into (for tests and measurements).
struct EncodeStats {
    uint64_t attempts = 0;
    uint64_t duplicates = 0;
    uint64_t large_cores = 0;
    uint64_t dependent_cores = 0;
    std::vector<uint32_t> core_pairs;  // pairs solved by elimination in the accepted attempt
};

// Called between the steps of an encoding (hashing, graph and peeling,
// elimination, filling the cells), so that a caller can give up part way by
// throwing from it.
using StepHook = void (*)();

// keys[i] are key bytes (as from key_bytes), values[i] the value of key i.
// Panics when two keys are equal: no store can hold both.
PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values);
PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values,
                        kestrova::random::Generator& gen, EncodeStats* stats = nullptr,
                        StepHook between_steps = nullptr);
PaxosStore paxos_encode(const std::vector<std::pair<Row, Cell>>& pairs);

// The panic of paxos_encode for equal keys, found up front: one hash per key
// and a sort, far less than an encoding attempt.
void refuse_equal_keys(std::span<const std::string> keys);

enum class AttemptOutcome { accepted, duplicate, large_core, dependent_core };

// Puts the core's solved cells in place (marking sparse ones present) and
// draws every dense cell the core left free.
void place_core(const CoreSolution& solution, uint64_t m, Cell* sparse, uint8_t* present,
                std::array<Cell, kDenseCells>& dense, kestrova::random::Generator& gen);

// One attempt over hashed edges: on acceptance fills store's cells (not its seeds).
AttemptOutcome encode_attempt(const EdgeEnds& edges, std::span<const Cell> values, uint64_t m,
                              kestrova::random::Generator& gen, PaxosStore& store,
                              Duplicate* duplicate = nullptr, std::vector<uint32_t>* core_pairs = nullptr,
                              StepHook between_steps = nullptr);

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
