// Characters replaced by text from a table (a letter by its Latin spelling), over a
// whole column at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/key_column.h"

namespace kestrova::engine {

// code_points ascending; the replacement of code_points[i] is text[offsets[i], offsets[i + 1]).
struct Replacements {
    std::vector<uint32_t> code_points;
    std::vector<uint32_t> offsets;
    std::span<const uint8_t> text;
};

// Checks the table's shape: offsets one more than code points, ascending, inside text.
void check_replacements(const Replacements& table);

// Each value with its characters replaced (others kept as they are) into bytes and n + 1
// offsets. A value holding the unit separator U+001F is kept whole: the caller refuses it.
void transliterate(const KeyColumn& values, const Replacements& table, std::string& bytes,
                   std::vector<int64_t>& offsets);

}  // namespace kestrova::engine
