#include "random/chacha.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrova::random {
namespace {

inline uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

// A column round, then a diagonal round, on state words or on vectors of them.
template <class W, class Quarter>
inline void double_round(W x[16], Quarter qr) {
    qr(x[0], x[4], x[8], x[12]);
    qr(x[1], x[5], x[9], x[13]);
    qr(x[2], x[6], x[10], x[14]);
    qr(x[3], x[7], x[11], x[15]);
    qr(x[0], x[5], x[10], x[15]);
    qr(x[1], x[6], x[11], x[12]);
    qr(x[2], x[7], x[8], x[13]);
    qr(x[3], x[4], x[9], x[14]);
}

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void chacha_block(const uint32_t in[16], uint32_t out[16], int rounds) {
    uint32_t x[16];
    std::memcpy(x, in, sizeof x);
    for (int i = 0; i < rounds; i += 2) double_round(x, [](uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
        quarter(a, b, c, d);
    });
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

#if defined(__SSE2__)
namespace {

// Lane b of each vector holds one state word of block b.
inline __m128i rotl_v(__m128i v, int n) { return _mm_or_si128(_mm_slli_epi32(v, n), _mm_srli_epi32(v, 32 - n)); }

// A 16-bit rotation swaps the halves of each word.
inline __m128i rotl16_v(__m128i v) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1); }

inline void quarter_v(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = _mm_add_epi32(a, b); d = rotl16_v(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl_v(_mm_xor_si128(b, c), 12);
    a = _mm_add_epi32(a, b); d = rotl_v(_mm_xor_si128(d, a), 8);
    c = _mm_add_epi32(c, d); b = rotl_v(_mm_xor_si128(b, c), 7);
}

}  // namespace

void chacha_blocks4(const uint8_t key[32], uint64_t counter, uint32_t out[64], int rounds) {
    uint32_t state[16];
    chacha_init_state(state, key, counter, 0);
    uint32_t lo[4], hi[4];
    for (int b = 0; b < 4; ++b) {
        const uint64_t c = counter + uint64_t(b);
        lo[b] = uint32_t(c);
        hi[b] = uint32_t(c >> 32);
    }
    __m128i in[16], x[16];
    for (int i = 0; i < 16; ++i) in[i] = _mm_set1_epi32(int(state[i]));
    in[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
    in[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int r = 0; r < rounds; r += 2) double_round(x, [](__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
        quarter_v(a, b, c, d);
    });
    // Transpose groups of four words back into block order.
    for (int g = 0; g < 16; g += 4) {
        const __m128i a = _mm_add_epi32(x[g], in[g]), b = _mm_add_epi32(x[g + 1], in[g + 1]);
        const __m128i c = _mm_add_epi32(x[g + 2], in[g + 2]), d = _mm_add_epi32(x[g + 3], in[g + 3]);
        const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
        const __m128i cd_lo = _mm_unpacklo_epi32(c, d), cd_hi = _mm_unpackhi_epi32(c, d);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 + g), _mm_unpacklo_epi64(ab_lo, cd_lo));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 + g), _mm_unpackhi_epi64(ab_lo, cd_lo));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 + g), _mm_unpacklo_epi64(ab_hi, cd_hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + g), _mm_unpackhi_epi64(ab_hi, cd_hi));
    }
}
#else
void chacha_blocks4(const uint8_t key[32], uint64_t counter, uint32_t out[64], int rounds) {
    uint32_t state[16];
    for (int b = 0; b < 4; ++b) {
        chacha_init_state(state, key, counter + uint64_t(b), 0);
        chacha_block(state, out + 16 * b, rounds);
    }
}
#endif

}  // namespace kestrova::random
