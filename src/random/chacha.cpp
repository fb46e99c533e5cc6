#include "random/chacha.h"

#include <cstring>

namespace kestrova::random {
namespace {

inline uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void chacha_block(const uint32_t in[16], uint32_t out[16], int rounds) {
    uint32_t x[16];
    std::memcpy(x, in, sizeof x);
    for (int i = 0; i < rounds; i += 2) {
        quarter(x[0], x[4], x[8], x[12]);
        quarter(x[1], x[5], x[9], x[13]);
        quarter(x[2], x[6], x[10], x[14]);
        quarter(x[3], x[7], x[11], x[15]);
        quarter(x[0], x[5], x[10], x[15]);
        quarter(x[1], x[6], x[11], x[12]);
        quarter(x[2], x[7], x[8], x[13]);
        quarter(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

void chacha_init_state(uint32_t state[16], const uint8_t key[32], uint64_t counter, uint64_t stream) {
    state[0] = 0x61707865;  // "expand 32-byte k"
    state[1] = 0x3320646e;
    state[2] = 0x79622d32;
    state[3] = 0x6b206574;
    for (int i = 0; i < 8; ++i) state[4 + i] = load_le32(key + 4 * i);
    state[12] = uint32_t(counter);
    state[13] = uint32_t(counter >> 32);
    state[14] = uint32_t(stream);
    state[15] = uint32_t(stream >> 32);
}

}  // namespace kestrova::random
