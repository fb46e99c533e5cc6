#include "engine/row_hashes.h"

#include "okvs/hashable.h"

namespace kestrova::engine {

namespace {
// Any fixed value: the hashes only need to agree within one run; nothing secret is hashed.
constexpr uint64_t kSeed = 0x6b657374726f7661ULL;
}  // namespace

void row_hashes(const KeyColumn& keys, std::span<uint64_t> out) {
    if (out.size() != keys.size()) throw BadInput("row_hashes: out holds the wrong number of values");
    for (size_t i = 0; i < keys.size(); ++i) out[i] = okvs::key_hash(keys.at(i), kSeed);
}

}  // namespace kestrova::engine
