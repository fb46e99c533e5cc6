// Phrases dropped from the words of each value (legal forms from a company's
// name), never the last words left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/key_column.h"

namespace kestrova::engine {

// values: words between single spaces. lookup: the same words as the phrases spell them (a
// lower-cased copy, or values itself), word for word. phrases: one or more words each.
// In rounds until one drops nothing, for each phrase length n from the longest down, words that
// spell a phrase are dropped while more than n words are kept: the last n words kept or, when
// `unordered`, any n in a row (from the front). `unordered` first drops so even the last words,
// then sorts what is left (the name's words, if nothing was) by their bytes and drops as above:
// the result is its own result, and word order carries no meaning beyond a phrase's own words.
void drop_phrases(const KeyColumn& values, const KeyColumn& lookup, const KeyColumn& phrases, bool unordered,
                  std::string& bytes, std::vector<int64_t>& offsets);

}  // namespace kestrova::engine
