// Punctuation, white space and spelt-out umlauts of ASCII text, one pass over
// each value. Non-ASCII values are left to the caller's Unicode rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/key_column.h"

namespace kestrova::engine {

enum SpacingFlags : unsigned {
    kAlnum = 1,    // ' ` . dropped; & and + the word "and"; every other run of non-alphanumerics one space
    kUmlauts = 2,  // the e's after an a, o or u (either case) dropped: Mueller is Muller
    kSpaces = 4,   // runs of white space one space, none at the ends
    kCompact = 8,  // white space dropped (before kUmlauts looks: "ana eva" is "anava")
};

// White space as Python's str.split() takes it, within ASCII.
inline bool ascii_space(char c) { return (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= ' '); }

// Each value of ASCII bytes with the flags' rules; a value holding a byte >= 0x80 is
// copied as it is. kSpaces and kCompact exclude each other.
void space_words(const KeyColumn& values, unsigned flags, std::string& bytes, std::vector<int64_t>& offsets);

}  // namespace kestrova::engine
