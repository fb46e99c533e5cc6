#include "okvs/hashable.h"

#include <xxhash.h>

#include "panic/panic.h"

namespace kestrova::okvs {

std::string key_bytes(const Row& row) {
    std::size_t total = 0;
    for (const auto& s : row) total += s.size();
    std::string out;
    out.reserve(total);
    for (const auto& s : row) out += s;
    return out;
}

uint64_t key_hash(std::string_view key, uint64_t seed) {
    return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

KeyPositions key_positions(std::string_view key, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t m) {
    if (m == 0) kestrova::panic("attempt to calculate the remainder with a divisor of zero");
    return {key_hash(key, s0) % m, key_hash(key, s1) % m, key_hash(key, s2)};
}

}  // namespace kestrova::okvs
