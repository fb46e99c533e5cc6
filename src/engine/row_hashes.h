// One 64-bit hash per key of a column: what the tools keep of each row to count
// the rows that end on one key, where the rows' text would not fit in memory.
#pragma once

#include <cstdint>
#include <span>

#include "engine/key_column.h"

namespace kestrova::engine {

// out[i] = XXH3-64 of keys.at(i) under a fixed public seed; out holds keys.size() values.
void row_hashes(const KeyColumn& keys, std::span<uint64_t> out);

}  // namespace kestrova::engine
