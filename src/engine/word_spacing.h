// Punctuation, white space and spelt-out umlauts of plain text, one pass over
// each value: ASCII and the letters of scripts without case (below). Other
// values are left to the caller's Unicode rules.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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

// Letters of scripts without case, each a whole letter by every Unicode version since 3.0 and
// its own case folding and NFC: Hebrew, Arabic, kana, CJK ideographs, Hangul syllables. No
// transliteration table holds them.
bool caseless_letter(uint32_t c);

// Text of ASCII and caseless letters only: no case but ASCII's, no punctuation or space but ASCII's.
bool plain_text(std::string_view s);

// out[i] = 1 when values.at(i) is plain text.
void plain_rows(const KeyColumn& values, std::span<uint8_t> out);

// Each plain value with the flags' rules, a caseless letter as a letter; other values copied
// as they are. kSpaces and kCompact exclude each other.
void space_words(const KeyColumn& values, unsigned flags, std::string& bytes, std::vector<int64_t>& offsets);

}  // namespace kestrova::engine
