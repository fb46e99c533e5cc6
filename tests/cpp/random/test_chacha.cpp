#include <gtest/gtest.h>

#include <cstring>

#include "random/chacha.h"

using kestrova::random::chacha_block;
using kestrova::random::chacha_init_state;

namespace {

struct BlockVector {
    const char* name;
    uint8_t key[32];
    uint64_t counter;  // state words 12-13
    uint64_t stream;   // state words 14-15
    uint32_t expected[16];
};

// ChaCha20 block vectors; the 32-bit counter and 96-bit nonce of the published
// layout map onto our 64-bit counter (words 12, 13) and 64-bit stream (words 14, 15).
const BlockVector kVectors[] = {
    {"block_function_test",
     {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
      16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31},
     1ull | (0x09000000ull << 32),
     0x4a000000ull,
     {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
      0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2}},
    {"zero_key_block_0",
     {},
     0,
     0,
     {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b,
      0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8, 0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2}},
    {"zero_key_block_1",
     {},
     1,
     0,
     {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73, 0xa0290fcb, 0x6965e348, 0x3e53c612, 0xed7aee32,
      0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874, 0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b}},
};

class ChaCha20Vectors : public ::testing::TestWithParam<BlockVector> {};

TEST_P(ChaCha20Vectors, TwentyRoundsMatchPublishedBlocks) {
    const BlockVector& v = GetParam();
    uint32_t state[16], out[16];
    chacha_init_state(state, v.key, v.counter, v.stream);
    chacha_block(state, out, 20);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], v.expected[i]) << "word " << i;
}

INSTANTIATE_TEST_SUITE_P(Published, ChaCha20Vectors, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ChaChaState, CounterAndStreamLayout) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(i);
    uint32_t state[16];
    chacha_init_state(state, key, 0x1122334455667788ull, 0x99aabbccddeeff00ull);
    EXPECT_EQ(state[0], 0x61707865u);
    EXPECT_EQ(state[4], 0x03020100u);
    EXPECT_EQ(state[11], 0x1f1e1d1cu);
    EXPECT_EQ(state[12], 0x55667788u);
    EXPECT_EQ(state[13], 0x11223344u);
    EXPECT_EQ(state[14], 0xddeeff00u);
    EXPECT_EQ(state[15], 0x99aabbccu);
}

TEST(ChaChaRounds, RoundCountChangesOutput) {
    uint8_t key[32] = {};
    uint32_t state[16], r12[16], r20[16];
    chacha_init_state(state, key, 0, 0);
    chacha_block(state, r12, 12);
    chacha_block(state, r20, 20);
    EXPECT_NE(std::memcmp(r12, r20, sizeof r12), 0);
}

class FourBlocks : public ::testing::TestWithParam<uint64_t> {};

// The refill path must give exactly the words of four single blocks, also
// where the counter carries into its high word or wraps.
TEST_P(FourBlocks, MatchFourSingleBlocks) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(37 * i + 11);
    for (int rounds : {12, 20}) {
        uint32_t got[64], want[16], state[16];
        kestrova::random::chacha_blocks4(key, GetParam(), got, rounds);
        for (int b = 0; b < 4; ++b) {
            chacha_init_state(state, key, GetParam() + uint64_t(b), 0);
            chacha_block(state, want, rounds);
            for (int i = 0; i < 16; ++i) EXPECT_EQ(got[16 * b + i], want[i]) << "block " << b << " word " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counters, FourBlocks,
                         ::testing::Values(0ull, 1ull, 0xfffffffeull, 0x1fffffffdull, ~0ull - 1));

}  // namespace
