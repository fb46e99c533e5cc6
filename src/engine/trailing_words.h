// Words dropped from the end of each value while they spell one of a set of
// phrases (legal forms at the end of a company's name), never the first word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/key_column.h"

namespace kestrova::engine {

// values: words separated by single spaces. phrases: one or more words each.
// In rounds, for each phrase length n from the longest down, the last n words
// still kept are dropped when they are a phrase and more than n words are kept;
// until a round drops nothing. The result is each value's prefix that is kept.
void drop_trailing_phrases(const KeyColumn& values, const KeyColumn& phrases, std::string& bytes,
                           std::vector<int64_t>& offsets);

}  // namespace kestrova::engine
