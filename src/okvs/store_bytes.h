// The byte form of a store: s0, s1, s2 (u64 little-endian), the sparse cells,
// then the 32 dense cells. No header; m follows from the length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "okvs/paxos.h"

namespace kestrova::okvs {

inline constexpr std::size_t kSeedBytes = 24;
inline constexpr std::size_t kDenseBytes = kDenseCells * kCellBytes;  // 2048
inline constexpr std::size_t kMinStoreBytes = kSeedBytes + kDenseBytes;  // 2072

// The byte length of a store over `rows` rows.
uint64_t store_byte_count(uint64_t rows);

std::vector<uint8_t> store_to_bytes(const PaxosStore& store);

// Any input of at least 2072 bytes is a store; a remainder of fewer than 64 bytes
// before the dense cells is ignored. Shorter input panics.
PaxosStore store_from_bytes(std::span<const uint8_t> bytes);
// The same parse without copying the sparse cells: the view points into bytes.
StoreView store_view_from_bytes(std::span<const uint8_t> bytes);

// The byte form in pieces, for writing a store out without a second copy of it.
void put_seeds(const PaxosStore& store, uint8_t out[kSeedBytes]);

}  // namespace kestrova::okvs
