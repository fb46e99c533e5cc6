// The flags of finish as the tools hand them on: CSV lines beside their ids, and
// the bitmap of an Arrow boolean array. One pass each, no Python per row.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/key_column.h"

namespace kestrova::engine {

// "id,true\n" or "id,false\n" per row (flags[i] nonzero: true), appended to out; an id holding
// a quote, comma, CR or LF is quoted, its quotes doubled.
void flag_lines(const KeyColumn& ids, std::span<const uint8_t> flags, std::string& out);

// Bit i of out (least significant first) set when flags[i] is nonzero; out holds (n + 7) / 8 bytes.
void flag_bitmap(std::span<const uint8_t> flags, std::span<uint8_t> out);

}  // namespace kestrova::engine
