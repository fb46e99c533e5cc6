#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "curve/multiply.h"
#include "curve_helpers.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar_mul.h"

namespace kestrova::group {
namespace {

using namespace kestrova::field;
using curve::FixedBaseTable;
using curve::mul;
using curve::mul_base;

using test::base_point;
using test::bytes_of;
using test::hex32;
using test::scalar_hex;
using test::order8_point;
using test::random_255;
using test::reference_mul;
using test::scalar_u64;

// Projective coordinates scaled by an arbitrary non-zero factor.
Point rescaled(const Point& p, const Fe& k) {
    return Point{fe_mul(p.X, k), fe_mul(p.Y, k), fe_mul(p.Z, k), fe_mul(p.T, k)};
}

Point affine_of(const PointNiels& e) {
    const Fe inv2 = fe_invert(fe_small(2));
    const Fe y = fe_mul(fe_add(e.yplusx, e.yminusx), inv2);
    const Fe x = fe_mul(fe_sub(e.yplusx, e.yminusx), inv2);
    return Point{x, y, fe_one(), fe_mul(x, y)};
}

// Checks entry (i, j) == (j + 1) * 256^i * p, and the T term of each entry.
template <typename Entry>
void expect_table_of(const Point& p, Entry entry) {
    Point row_base = p;
    for (int i = 0; i < 32; ++i) {
        Point m = row_base;
        for (int j = 0; j < 8; ++j) {
            const PointNiels& e = entry(i, j);
            const Point a = affine_of(e);
            ASSERT_TRUE(equal(a, m).bit()) << "row " << i << " entry " << j;
            ASSERT_EQ(bytes_of(e.xy2d), bytes_of(fe_mul(a.T, kFeD2)));
            m = add(m, row_base);
        }
        for (int k = 0; k < 8; ++k) row_base = dbl(row_base);
    }
}

TEST(Points, BaseTableEntriesAreRepeatedAdditions) {
    expect_table_of(base_point(), [](int i, int j) -> const PointNiels& { return base_table()[8 * i + j]; });
}

TEST(Points, RuntimeTableEntriesAreRepeatedAdditions) {
    const Point p = add(base_point(), order8_point());
    PointNiels table[kTableEntries];
    fill_table(p, table);
    expect_table_of(p, [&](int i, int j) -> const PointNiels& { return table[8 * i + j]; });
}

TEST(Points, GroupLaws) {
    test::TestRng rng{31337};
    const Point t8 = order8_point();
    for (int i = 0; i < 20; ++i) {
        const Point a = add(mul_base(random_255(rng)), t8);
        const Point b = mul_base(random_255(rng));
        const Point c = add(mul_base(random_255(rng)), dbl(t8));
        EXPECT_TRUE(is_valid(a).bit() && is_valid(b).bit() && is_valid(c).bit());
        EXPECT_TRUE(equal(add(a, b), add(b, a)).bit());
        EXPECT_TRUE(equal(add(add(a, b), c), add(a, add(b, c))).bit());
        EXPECT_TRUE(equal(add(a, identity()), a).bit());
        EXPECT_TRUE(equal(add(a, neg(a)), identity()).bit());
        EXPECT_TRUE(equal(dbl(a), add(a, a)).bit());
        EXPECT_FALSE(equal(a, b).bit());
        EXPECT_FALSE(equal(a, neg(a)).bit());
        const Fe k = fe_small(uint64_t(1000 + i));
        EXPECT_TRUE(equal(rescaled(a, k), a).bit());
        EXPECT_EQ(bytes_of(rescaled(a, k)), bytes_of(a));
    }
}

TEST(Points, SmallOrderPoint) {
    const Point t8 = order8_point();
    Point m = t8;
    for (int k = 2; k <= 8; ++k) {
        m = add(m, t8);
        EXPECT_EQ(equal(m, identity()).bit(), k == 8) << k;
    }
    // Orders 1, 2, 4, 8 of the multiples of T8, against each bound.
    for (unsigned bound : {1u, 2u, 4u, 8u}) {
        Point q = identity();
        for (unsigned k = 0; k < 8; ++k) {
            const unsigned order = k == 0 ? 1 : 8 / std::gcd(k, 8u);
            EXPECT_EQ(is_small_order(q, bound).bit(), order <= bound) << k << " " << bound;
            EXPECT_FALSE(is_small_order(add(q, base_point()), bound).bit());
            q = add(q, t8);
        }
    }
    EXPECT_TRUE(equal(mul(t8, scalar_u64(8)), identity()).bit());
    EXPECT_TRUE(equal(mul(t8, scalar_u64(13)), mul(t8, scalar_u64(5))).bit());
}

TEST(Points, CompressDecompressRoundTrip) {
    test::TestRng rng{5};
    const Point t8 = order8_point();
    for (int i = 0; i < 50; ++i) {
        const Point a = add(mul_base(random_255(rng)), i % 2 ? t8 : identity());
        const auto enc = bytes_of(a);
        const auto back = decompress_vartime(enc.data());
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(equal(*back, a).bit());
        EXPECT_TRUE(is_valid(*back).bit());
    }
    EXPECT_EQ(bytes_of(base_point()), hex32(test::kBaseHex));
}

struct DecodeCase {
    const char* hex;
    bool accepted;
    const char* canonical;  // re-encoding when accepted
};

class PermissiveDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PermissiveDecode, AcceptsAndReencodes) {
    const DecodeCase c = GetParam();
    const auto p = decompress_vartime(hex32(c.hex).data());
    ASSERT_EQ(p.has_value(), c.accepted);
    if (p) {
        EXPECT_TRUE(is_valid(*p).bit());
        EXPECT_EQ(bytes_of(*p), hex32(c.canonical));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PermissiveDecode,
    ::testing::Values(
        // identity, with either sign bit
        DecodeCase{"0100000000000000000000000000000000000000000000000000000000000000", true,
                   "0100000000000000000000000000000000000000000000000000000000000000"},
        DecodeCase{"0100000000000000000000000000000000000000000000000000000000000080", true,
                   "0100000000000000000000000000000000000000000000000000000000000000"},
        // y = p + 1: the identity
        DecodeCase{"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true,
                   "0100000000000000000000000000000000000000000000000000000000000000"},
        // y = p + 18: y = 18
        DecodeCase{"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true,
                   "1200000000000000000000000000000000000000000000000000000000000000"},
        // y = -1, the point of order 2, either sign
        DecodeCase{"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true,
                   "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        DecodeCase{"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", true,
                   "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        // y = 0: the points of order 4
        DecodeCase{"0000000000000000000000000000000000000000000000000000000000000000", true,
                   "0000000000000000000000000000000000000000000000000000000000000000"},
        DecodeCase{"0000000000000000000000000000000000000000000000000000000000000080", true,
                   "0000000000000000000000000000000000000000000000000000000000000080"},
        // y = 2 has no x
        DecodeCase{"0200000000000000000000000000000000000000000000000000000000000000", false, ""},
        DecodeCase{"0200000000000000000000000000000000000000000000000000000000000080", false, ""}));

TEST(Points, SignBitFollowsX) {
    const auto enc = hex32(test::kBaseHex);
    auto flipped = enc;
    flipped[31] |= 0x80;
    const auto p = decompress_vartime(flipped.data());
    ASSERT_TRUE(p.has_value());
    EXPECT_TRUE(equal(*p, neg(base_point())).bit());
    EXPECT_EQ(bytes_of(*p), flipped);
}

struct ScalarCase {
    const char* hex;
};

class MulEdgeScalars : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(MulEdgeScalars, MatchesDoubleAndAdd) {
    const Scalar s = scalar_hex(GetParam().hex);
    const Point b = base_point();
    const Point mixed = add(b, order8_point());
    EXPECT_TRUE(equal(mul(b, s), reference_mul(b, s)).bit());
    EXPECT_TRUE(equal(mul(mixed, s), reference_mul(mixed, s)).bit());
    EXPECT_TRUE(equal(mul_base(s), reference_mul(b, s)).bit());
    EXPECT_TRUE(equal(FixedBaseTable(mixed).mul(s), reference_mul(mixed, s)).bit());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MulEdgeScalars,
    ::testing::Values(ScalarCase{"0000000000000000000000000000000000000000000000000000000000000000"},
                      ScalarCase{"0100000000000000000000000000000000000000000000000000000000000000"},
                      ScalarCase{"0800000000000000000000000000000000000000000000000000000000000000"},
                      ScalarCase{"edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},  // l
                      ScalarCase{"ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},  // l - 1
                      ScalarCase{"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},  // 2^255 - 1
                      ScalarCase{"8888888888888888888888888888888888888888888888888888888888888878"},
                      ScalarCase{"7777777777777777777777777777777777777777777777777777777777777777"},
                      // bit 255 set: ignored
                      ScalarCase{"0300000000000000000000000000000000000000000000000000000000000080"}));

TEST(Points, MulMatchesReferenceOnRandomScalars) {
    test::TestRng rng{2024};
    const Point t8 = order8_point();
    for (int i = 0; i < 12; ++i) {
        const Point p = add(mul_base(random_255(rng)), i % 3 == 0 ? t8 : identity());
        const Scalar s = random_255(rng);
        const Point expected = reference_mul(p, s);
        EXPECT_TRUE(equal(mul(p, s), expected).bit());
        EXPECT_TRUE(equal(FixedBaseTable(p).mul(s), expected).bit());
        EXPECT_TRUE(equal(mul_base(s), reference_mul(base_point(), s)).bit());
    }
    // The order of B: l * B is the identity, l * (B + T8) is l * T8 = 5 * T8 (l = 5 mod 8).
    const Scalar l = scalar_hex(test::kOrderHex);
    EXPECT_TRUE(equal(mul(base_point(), l), identity()).bit());
    EXPECT_TRUE(equal(mul(add(base_point(), t8), l), mul(t8, scalar_u64(5))).bit());
}

std::array<uint8_t, kPointBytes> encoded(const Point& p) {
    std::array<uint8_t, kPointBytes> out;
    compress(p, out.data());
    return out;
}

// Every class of 32 bytes, and the encodings that sit on the border of two.
TEST(Points, ClassifyTellsPrimeOrderExactly) {
    test::TestRng rng{4242};
    const Point t8 = order8_point();
    const auto is = [](const std::array<uint8_t, kPointBytes>& bytes) { return classify_vartime(bytes.data()); };
    EXPECT_EQ(is(encoded(base_point())), Encoding::kPrimeOrder);
    for (int i = 0; i < 8; ++i) {
        const Point p = mul_base(random_255(rng));
        EXPECT_EQ(is(encoded(p)), Encoding::kPrimeOrder);
        EXPECT_EQ(is(encoded(neg(p))), Encoding::kPrimeOrder);
        EXPECT_EQ(is(encoded(add(p, t8))), Encoding::kMixedOrder);
        EXPECT_EQ(is(encoded(add(p, dbl(dbl(t8))))), Encoding::kMixedOrder);  // an order-2 part only
    }
    Point small = t8;
    for (int i = 0; i < 4; ++i, small = dbl(small)) EXPECT_EQ(is(encoded(small)), Encoding::kSmallOrder) << i;
    // The identity with the sign bit set decodes, but no point is written so.
    EXPECT_EQ(is(hex32("0100000000000000000000000000000000000000000000000000000000000080")), Encoding::kNotCanonical);
    EXPECT_EQ(is(hex32("0200000000000000000000000000000000000000000000000000000000000000")), Encoding::kNotOnCurve);
    // y = p + 1 and p + 3 decode (as 1 and 3) but are not how any point is written.
    EXPECT_EQ(is(hex32("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")), Encoding::kNotCanonical);
    EXPECT_EQ(is(hex32("f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff")), Encoding::kNotCanonical);
    EXPECT_EQ(is(hex32("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")), Encoding::kSmallOrder);
}

}  // namespace
}  // namespace kestrova::group
