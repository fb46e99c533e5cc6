#include "okvs/store_bytes.h"
#include "okvs/encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "okvs/helpers.h"

namespace {

using kestrova::okvs::testing::cell_of;
using kestrova::okvs::testing::panic_message;

std::vector<uint8_t> pattern(std::size_t n) {
    std::vector<uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 131 + (i >> 8));
    return b;
}

TEST(StoreBytes, LayoutIsSeedsLittleEndianThenSparseThenDense) {
    kestrova::okvs::PaxosStore s{};
    s.s0 = 0x0102030405060708ull;
    s.s1 = 0x1112131415161718ull;
    s.s2 = 0xF1F2F3F4F5F6F7F8ull;
    s.sparse = {cell_of(1), cell_of(2), cell_of(3)};
    for (int j = 0; j < 32; ++j) s.dense[j] = cell_of(100 + j);
    const std::vector<uint8_t> b = kestrova::okvs::store_to_bytes(s);
    ASSERT_EQ(b.size(), 2072u + 3 * 64);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(b[8], 0x18);
    EXPECT_EQ(b[23], 0xF1);
    EXPECT_TRUE(std::equal(s.sparse[1].begin(), s.sparse[1].end(), b.begin() + 24 + 64));
    EXPECT_TRUE(std::equal(s.dense[31].begin(), s.dense[31].end(), b.end() - 64));
    EXPECT_TRUE(std::equal(s.dense[0].begin(), s.dense[0].end(), b.begin() + 24 + 3 * 64));
}

class ParseAndWrite : public ::testing::TestWithParam<std::size_t> {};

// Whole cells come back byte for byte; a partial cell before the dense block is dropped.
TEST_P(ParseAndWrite, KeepsWholeCellsAndDropsRemainder) {
    const std::size_t len = GetParam();
    const std::vector<uint8_t> in = pattern(len);
    const kestrova::okvs::PaxosStore s = kestrova::okvs::store_from_bytes(in);
    const std::size_t m = (len - 2072) / 64, rest = (len - 2072) % 64;
    ASSERT_EQ(s.sparse.size(), m);
    const std::vector<uint8_t> out = kestrova::okvs::store_to_bytes(s);
    std::vector<uint8_t> expected(in.begin(), in.begin() + 24 + 64 * m);
    expected.insert(expected.end(), in.end() - 2048, in.end());
    EXPECT_EQ(out, expected);
    if (rest == 0) {
        EXPECT_EQ(out, in);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ParseAndWrite, ::testing::Values(2072, 2073, 2072 + 64, 2072 + 64 * 5 + 17, 2072 + 64 * 7 + 63));

TEST(StoreBytes, EncodedStoreSurvivesTheByteForm) {
    std::vector<std::string> keys;
    std::vector<kestrova::okvs::Cell> values;
    for (int i = 0; i < 10; ++i) {
        keys.push_back("k" + std::to_string(i));
        values.push_back(cell_of(i));
    }
    const kestrova::okvs::PaxosStore s = kestrova::okvs::paxos_encode(keys, values);
    const std::vector<uint8_t> b = kestrova::okvs::store_to_bytes(s);
    EXPECT_EQ(b.size(), 3608u);
    const kestrova::okvs::PaxosStore t = kestrova::okvs::store_from_bytes(b);
    EXPECT_EQ(t.s0, s.s0);
    EXPECT_EQ(t.s1, s.s1);
    EXPECT_EQ(t.s2, s.s2);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(kestrova::okvs::paxos_decode(t, keys[i]), values[i]);
}

TEST(StoreBytes, ParsedStoreWithoutSparseCellsDecodes) {
    const std::vector<uint8_t> in = pattern(2072);
    const kestrova::okvs::PaxosStore s = kestrova::okvs::store_from_bytes(in);
    EXPECT_TRUE(s.sparse.empty());
    const uint64_t d = kestrova::okvs::key_hash("some row", s.s2);
    kestrova::okvs::Cell expected{};
    for (int j = 0; j < 32; ++j) {
        if ((d >> j) & 1) {
            for (int i = 0; i < 64; ++i) expected[i] ^= in[24 + 64 * j + i];
        }
    }
    EXPECT_EQ(kestrova::okvs::paxos_decode(s, "some row"), expected);
}

struct ShortCase {
    std::size_t length;
    const char* message;
};
void PrintTo(const ShortCase& c, std::ostream* os) { *os << "length " << c.length; }

class ShortInput : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShortInput, PanicsWithSliceMessage) {
    const std::vector<uint8_t> in = pattern(GetParam().length);
    EXPECT_EQ(panic_message([&] { kestrova::okvs::store_from_bytes(in); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ShortInput,
    ::testing::Values(ShortCase{0, "range end index 8 out of range for slice of length 0"},
                      ShortCase{7, "range end index 8 out of range for slice of length 7"},
                      ShortCase{8, "range end index 16 out of range for slice of length 8"},
                      ShortCase{15, "range end index 16 out of range for slice of length 15"},
                      ShortCase{16, "range end index 24 out of range for slice of length 16"},
                      ShortCase{23, "range end index 24 out of range for slice of length 23"},
                      // The dense block's start L - 2048 wraps below zero.
                      ShortCase{24, "range end index 18446744073709549592 out of range for slice of length 24"},
                      ShortCase{100, "range end index 18446744073709549668 out of range for slice of length 100"},
                      ShortCase{2047, "range end index 18446744073709551615 out of range for slice of length 2047"},
                      ShortCase{2048, "slice index starts at 24 but ends at 0"},
                      ShortCase{2071, "slice index starts at 24 but ends at 23"}));

}  // namespace
