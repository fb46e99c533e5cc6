#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "curve/multiply.h"
#include "curve_helpers.h"
#include "keys/keys.h"
#include "panic/panic.h"

namespace kestrova::keys {
namespace {

using namespace kestrova::group;
using curve::mul_base;

using test::bytes_of;
using test::hex32;

std::vector<uint8_t> vec(const char* hex) {
    const auto a = hex32(hex);
    return std::vector<uint8_t>(a.begin(), a.end());
}

std::string panic_message(auto&& f) {
    try {
        f();
    } catch (const kestrova::Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

class KeyLengths : public ::testing::TestWithParam<size_t> {};

TEST_P(KeyLengths, LengthReportedBeforeValidity) {
    const size_t n = GetParam();
    // 0x02 bytes: as a 32-byte key this would not be a point.
    const std::vector<uint8_t> bytes(n, 0x02);
    const std::string expected = "source slice length (" + std::to_string(n) +
                                 ") does not match destination slice length (32)";
    EXPECT_EQ(panic_message([&] { decode_public_key(bytes); }), expected);
    EXPECT_EQ(panic_message([&] { decode_secret_scalar(bytes); }), expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, KeyLengths, ::testing::Values(0, 1, 31, 33, 64));

TEST(Keys, PublicKeyNotOnCurve) {
    auto y2 = vec("0200000000000000000000000000000000000000000000000000000000000000");
    EXPECT_EQ(panic_message([&] { decode_public_key(y2); }), "The public key was not a valid curve point.");
}

TEST(Keys, PermissivePublicKeys) {
    const auto identity_enc = hex32("0100000000000000000000000000000000000000000000000000000000000000");
    for (const char* hex : {"0100000000000000000000000000000000000000000000000000000000000000",
                            "0100000000000000000000000000000000000000000000000000000000000080",
                            "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"}) {
        EXPECT_EQ(bytes_of(decode_public_key(vec(hex))), identity_enc) << hex;
    }
    const Point p18 = decode_public_key(vec("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"));
    EXPECT_EQ(bytes_of(p18), hex32("1200000000000000000000000000000000000000000000000000000000000000"));
}

TEST(Keys, SecretScalarKeepsValueAndDropsBit255) {
    const auto raw = vec("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
    const Scalar s = decode_secret_scalar(raw);
    for (int i = 0; i < 31; ++i) EXPECT_EQ(s.bytes[i], 0xff);
    EXPECT_EQ(s.bytes[31], 0x7f);  // not reduced modulo l
}

struct WideCase {
    const char* low;   // bytes 0..31
    const char* high;  // bytes 32..63
    const char* reduced;
};

class WideReduction : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideReduction, KnownValues) {
    const WideCase c = GetParam();
    uint8_t wide[64];
    const auto lo = hex32(c.low), hi = hex32(c.high);
    std::copy(lo.begin(), lo.end(), wide);
    std::copy(hi.begin(), hi.end(), wide + 32);
    const Scalar s = scalar_from_wide(wide);
    EXPECT_EQ(std::vector<uint8_t>(s.bytes, s.bytes + 32), vec(c.reduced));
}

constexpr const char* kZero = "0000000000000000000000000000000000000000000000000000000000000000";
constexpr const char* kOnes = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";

INSTANTIATE_TEST_SUITE_P(
    Cases, WideReduction,
    ::testing::Values(WideCase{kZero, kZero, kZero},
                      // l - 1 stays, l becomes 0, l + 1 becomes 1
                      WideCase{"ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010", kZero,
                               "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},
                      WideCase{test::kOrderHex, kZero, kZero},
                      WideCase{"eed3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010", kZero,
                               "0100000000000000000000000000000000000000000000000000000000000000"},
                      // 2^256 mod l
                      WideCase{kZero, "0100000000000000000000000000000000000000000000000000000000000000",
                               "1d95988d7431ecd670cf7d73f45befc6feffffffffffffffffffffffffffff0f"},
                      // 2^512 - 1 mod l
                      WideCase{kOnes, kOnes, "000f9c44e31106a447938568a71b0ed065bef517d273ecce3d9a307c1b419903"}));

TEST(Keys, KeyPairsAgreeAndAreReduced) {
    for (int i = 0; i < 20; ++i) {
        const auto [pub, sec] = generate_key_pair();
        EXPECT_LE(sec[31], 0x10);
        const Scalar s = decode_secret_scalar(std::vector<uint8_t>(sec.begin(), sec.end()));
        const Point a = decode_public_key(std::vector<uint8_t>(pub.begin(), pub.end()));
        EXPECT_TRUE(equal(a, mul_base(s)).bit());
        EXPECT_EQ(bytes_of(a), pub);
    }
    EXPECT_NE(generate_key_pair().second, generate_key_pair().second);
}

// Random scalars come from the generator alone (one key, one sequence), are
// canonical, and spread over the whole range.
TEST(Keys, RandomScalarsFollowTheGeneratorAndAreCanonical) {
    uint8_t key[32] = {1, 2, 3};
    kestrova::random::Generator g1(key), g2(key);
    uint8_t other_key[32] = {4};
    kestrova::random::Generator g3(other_key);
    int top_bits_seen = 0;
    for (int i = 0; i < 200; ++i) {
        const Scalar a = random_scalar(g1), b = random_scalar(g2), c = random_scalar(g3);
        EXPECT_EQ(std::vector<uint8_t>(a.bytes, a.bytes + 32), std::vector<uint8_t>(b.bytes, b.bytes + 32));
        EXPECT_NE(std::vector<uint8_t>(a.bytes, a.bytes + 32), std::vector<uint8_t>(c.bytes, c.bytes + 32));
        // Canonical: reducing it again changes nothing.
        uint8_t wide[64] = {};
        std::copy(a.bytes, a.bytes + 32, wide);
        const Scalar again = scalar_from_wide(wide);
        EXPECT_EQ(std::vector<uint8_t>(a.bytes, a.bytes + 32), std::vector<uint8_t>(again.bytes, again.bytes + 32));
        EXPECT_LE(a.bytes[31], 0x10);
        top_bits_seen |= 1 << (a.bytes[31] >> 2);
    }
    // Byte 31 is 0..0x10: its top values 0..3, then 4 for 0x10 (rare), all but the rare one seen.
    EXPECT_EQ(top_bits_seen & 0xf, 0xf);
}

}  // namespace
}  // namespace kestrova::keys
