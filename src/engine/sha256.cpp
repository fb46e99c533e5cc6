#include "engine/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kestrova::engine {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void blocks_portable(uint32_t state[8], const uint8_t* data, std::size_t count) {
    for (; count > 0; --count, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(data[4 * i]) << 24 | uint32_t(data[4 * i + 1]) << 16 | uint32_t(data[4 * i + 2]) << 8 |
                   uint32_t(data[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__)
// The SHA extensions: a store of gigabytes is hashed several times faster.
__attribute__((target("sha,sse4.1"))) void blocks_sha_ni(uint32_t state[8], const uint8_t* data,
                                                          std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));  // a b c d
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));   // e f g h
    tmp = _mm_shuffle_epi32(tmp, 0xB1);
    s1 = _mm_shuffle_epi32(s1, 0x1B);
    __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);  // abef
    s1 = _mm_blend_epi16(s1, tmp, 0xF0);       // cdgh

    for (; count > 0; --count, data += 64) {
        const __m128i save0 = s0, save1 = s1;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
        for (int r = 0; r < 16; ++r) {
            __m128i k = _mm_add_epi32(m[r & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * r])));
            if (r >= 3 && r <= 14) {  // the next four words of the schedule
                __m128i& next = m[(r + 1) & 3];
                next = _mm_add_epi32(next, _mm_alignr_epi8(m[r & 3], m[(r + 3) & 3], 4));
                next = _mm_sha256msg2_epu32(next, m[r & 3]);
            }
            s1 = _mm_sha256rnds2_epu32(s1, s0, k);
            k = _mm_shuffle_epi32(k, 0x0E);
            s0 = _mm_sha256rnds2_epu32(s0, s1, k);
            if (r >= 1 && r <= 12) m[(r + 3) & 3] = _mm_sha256msg1_epu32(m[(r + 3) & 3], m[r & 3]);
        }
        s0 = _mm_add_epi32(s0, save0);
        s1 = _mm_add_epi32(s1, save1);
    }

    tmp = _mm_shuffle_epi32(s0, 0x1B);  // feba
    s1 = _mm_shuffle_epi32(s1, 0xB1);   // dchg
    s0 = _mm_blend_epi16(tmp, s1, 0xF0);  // dcba
    s1 = _mm_alignr_epi8(s1, tmp, 8);     // hgfe
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), s1);
}

// Asked of the processor itself: not every compiler knows "sha" as a feature name.
bool have_sha_ni() {
    static const bool yes = [] {
        unsigned a, b, c, d;
        if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1)) return false;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;
    }();
    return yes;
}
#endif

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::blocks(const uint8_t* data, std::size_t count) {
#if defined(__x86_64__)
    if (have_sha_ni()) return blocks_sha_ni(state_, data, count);
#endif
    blocks_portable(state_, data, count);
}

void Sha256::update(const uint8_t* data, std::size_t size) {
    length_ += size;
    if (buffered_ > 0) {
        const std::size_t take = std::min(size, 64 - buffered_);
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ < 64) return;
        blocks(buffer_, 1);
        buffered_ = 0;
    }
    blocks(data, size / 64);
    data += size / 64 * 64;
    size %= 64;
    std::memcpy(buffer_, data, size);
    buffered_ = size;
}

std::array<uint8_t, 32> Sha256::finish() {
    const uint64_t bits = length_ * 8;
    const uint8_t pad = 0x80;
    update(&pad, 1);
    const uint8_t zero[64] = {};
    update(zero, (64 + 56 - buffered_) % 64);
    uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = uint8_t(bits >> (56 - 8 * i));
    update(tail, 8);
    std::array<uint8_t, 32> out;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) out[4 * i + j] = uint8_t(state_[i] >> (24 - 8 * j));
    return out;
}

}  // namespace kestrova::engine
