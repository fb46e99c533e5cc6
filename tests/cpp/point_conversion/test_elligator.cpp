#include <gtest/gtest.h>

#include "curve/multiply.h"
#include "curve_helpers.h"
#include "panic/panic.h"
#include "point_conversion/elligator.h"
#include "point_conversion/elligator_batch.h"
#include "random/generator.h"

namespace kestrova::point_conversion {
namespace {

using group::Point;
using test::bytes_of;
using test::hex32;

const char* kPHex = "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";

Point random_point(test::TestRng& rng, bool mixed) {
    group::Scalar s;
    rng.fill(s.bytes, 32);
    s.bytes[31] &= 0x7f;
    Point p = curve::mul_base(s);
    if (mixed) {
        const auto t8 = group::decompress_vartime(hex32("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05").data());
        p = group::add(p, *t8);
    }
    return p;
}

// Bits 0..254 below p.
bool canonical_residue(Representative r) {
    r[31] &= 0x7f;
    for (int i = 31; i >= 0; --i) {
        const uint8_t pi = hex32(kPHex)[i];
        if (r[i] != pi) return r[i] < pi;
    }
    return false;
}

TEST(Elligator, BothBitsRoundTrip) {
    test::TestRng rng{1};
    int with = 0;
    for (int i = 0; i < 200; ++i) {
        const Point p = random_point(rng, i % 2 == 1);
        const auto r0 = point_to_representative_with_bit(p, 0);
        const auto r1 = point_to_representative_with_bit(p, 1);
        ASSERT_EQ(r0.has_value(), r1.has_value());
        if (!r0) continue;
        ++with;
        EXPECT_NE(*r0, *r1);
        for (const auto& r : {*r0, *r1}) {
            EXPECT_EQ(r[0] & 1, 0);
            EXPECT_TRUE(canonical_residue(r));
            const Point q = representative_to_point(r.data());
            EXPECT_TRUE(group::equal(q, p).bit());
            EXPECT_EQ(bytes_of(q), bytes_of(p));
        }
        // -p differs in bit 255 only.
        const auto n0 = point_to_representative_with_bit(group::neg(p), 0);
        ASSERT_TRUE(n0.has_value());
        auto flipped = *r0;
        flipped[31] ^= 0x80;
        EXPECT_EQ(*n0, flipped);
    }
    // About half of all points have a representative.
    EXPECT_GT(with, 60);
    EXPECT_LT(with, 140);
}

TEST(Elligator, NeutralAndOrderTwoHaveNone) {
    const Point id = group::identity();
    const Point order2 = *group::decompress_vartime(hex32("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f").data());
    for (uint32_t bit : {0u, 1u}) {
        EXPECT_FALSE(point_to_representative_with_bit(id, bit).has_value());
        EXPECT_FALSE(point_to_representative_with_bit(order2, bit).has_value());
    }
}

TEST(Elligator, OrderFourPointsRoundTrip) {
    for (const char* hex : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0000000000000000000000000000000000000000000000000000000000000080"}) {
        const Point p = *group::decompress_vartime(hex32(hex).data());
        for (uint32_t bit : {0u, 1u}) {
            const auto r = point_to_representative_with_bit(p, bit);
            ASSERT_TRUE(r.has_value()) << hex;
            EXPECT_EQ(bytes_of(representative_to_point(r->data())), hex32(hex));
        }
    }
}

TEST(Elligator, EveryStringDecodesAndSignOfRIsIgnored) {
    test::TestRng rng{77};
    for (int i = 0; i < 300; ++i) {
        uint8_t s[32];
        rng.fill(s, 32);
        const Point p = representative_to_point(s);
        EXPECT_TRUE(group::is_valid(p).bit());
        // -r with the same flag bit
        uint8_t m[32];
        field::fe_to_bytes(m, field::fe_neg(field::fe_from_bytes(s)));
        m[31] |= s[31] & 0x80;
        EXPECT_TRUE(group::equal(representative_to_point(m), p).bit());
    }
}

TEST(Elligator, ZeroDecodesToOrderTwoWhateverTheFlag) {
    const auto order2 = hex32("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    for (const char* hex : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0000000000000000000000000000000000000000000000000000000000000080", kPHex,
                            "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"}) {
        EXPECT_EQ(bytes_of(representative_to_point(hex32(hex).data())), order2) << hex;
    }
}

TEST(Elligator, MontgomeryToEdwardsRefusesMinusOne) {
    auto minus_one = hex32(kPHex);
    minus_one[0] = 0xec;
    EXPECT_FALSE(montgomery_to_edwards_vartime(minus_one.data(), false).has_value());
    EXPECT_FALSE(montgomery_to_edwards_vartime(minus_one.data(), true).has_value());
    // u = 9 is the Curve25519 base point, which maps to B.
    std::array<uint8_t, 32> nine{};
    nine[0] = 9;
    const auto b = montgomery_to_edwards_vartime(nine.data(), false);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(bytes_of(*b), hex32(test::kBaseHex));
}

// The public encoder picks one of the point's two representatives at random:
// each is one of those the fixed-bit encoder gives, and both occur.
TEST(Elligator, PublicEncoderPicksEitherRepresentative) {
    uint8_t key[32] = {9};
    kestrova::random::Generator g(key);
    test::TestRng rng{3};
    int picked[2] = {0, 0};
    for (int i = 0; i < 40; ++i) {
        const Point p = random_point(rng, false);
        const auto got = point_to_representative(p, g);
        const auto zero = point_to_representative_with_bit(p, 0), one = point_to_representative_with_bit(p, 1);
        ASSERT_EQ(zero.has_value(), one.has_value());
        ASSERT_EQ(got.has_value(), zero.has_value());
        if (!got) continue;
        ASSERT_TRUE(got == zero || got == one);
        picked[got == one]++;
    }
    EXPECT_GT(picked[0], 0);
    EXPECT_GT(picked[1], 0);
    EXPECT_FALSE(point_to_representative(group::identity(), g).has_value());
}

// Sizes across the 32- and 128-item chunks and the 8-lane blocks; edge inputs included.
TEST(ElligatorBatch, MatchesTheSingleItemMaps) {
    test::TestRng rng{21};
    const size_t n = 141;
    std::vector<uint8_t> strings(32 * n);
    rng.fill(strings.data(), strings.size());
    std::fill_n(strings.begin(), 32, uint8_t(0));
    std::fill_n(strings.begin() + 32, 32, uint8_t(0xff));
    std::vector<Point> decoded(n);
    representatives_to_points(strings.data(), decoded.data(), n);
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(bytes_of(decoded[i]), bytes_of(representative_to_point(strings.data() + 32 * i))) << i;

    std::vector<Point> points(n);
    std::vector<uint32_t> bits(n);
    for (size_t i = 0; i < n; ++i) {
        points[i] = i == 0 ? group::identity() : random_point(rng, i % 3 == 0);
        bits[i] = uint32_t(i / 2 % 2);
    }
    points[1] = *group::decompress_vartime(hex32("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f").data());
    std::vector<Representative> reps(n);
    std::vector<uint8_t> ok(n);
    start_representatives(points.data(), bits.data(), reps.data(), ok.data(), n);
    size_t with = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto single = point_to_representative_with_bit(points[i], bits[i]);
        ASSERT_EQ(ok[i] == 1, single.has_value()) << i;
        if (!single) continue;
        points[with] = points[i];
        reps[with] = reps[i];
        finish_representatives(&points[with], &reps[with], 1);
        EXPECT_EQ(reps[with], *single) << i;
        ++with;
    }
    EXPECT_GT(with, 10u);
    // And the whole passing set at once.
    std::vector<Representative> again(reps.begin(), reps.begin() + with);
    for (auto& r : again) r[31] &= 0x7f;
    finish_representatives(points.data(), again.data(), with);
    for (size_t i = 0; i < with; ++i) EXPECT_EQ(again[i], reps[i]);
}

}  // namespace
}  // namespace kestrova::point_conversion
