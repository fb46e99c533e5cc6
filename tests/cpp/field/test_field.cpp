#include <gtest/gtest.h>

#include "curve_helpers.h"
#include "field/field.h"

namespace kestrova::field {
namespace {

using test::bytes_of;
using test::hex32;

Fe fe_hex(const char* hex) { return fe_from_bytes(hex32(hex).data()); }

const char* kPHex = "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";

Fe random_fe(test::TestRng& rng) {
    uint8_t b[32];
    rng.fill(b, 32);
    return fe_from_bytes(b);
}

// Values from p to 2^255 - 1 and values with bit 255 set load as value mod p.
class NonCanonical : public ::testing::TestWithParam<int> {};

TEST_P(NonCanonical, EncodesAsValueMinusP) {
    const int k = GetParam();
    auto in = hex32(kPHex);
    in[0] = uint8_t(in[0] + k);  // p + k for k in 0..18 (no carry: 0xed + 18 = 0xff)
    std::array<uint8_t, 32> expected{};
    expected[0] = uint8_t(k);
    EXPECT_EQ(bytes_of(fe_from_bytes(in.data())), expected);
    in[31] |= 0x80;
    EXPECT_EQ(bytes_of(fe_from_bytes(in.data())), expected);
}

INSTANTIATE_TEST_SUITE_P(PToTopOfRange, NonCanonical, ::testing::Range(0, 19));

TEST(Field, CanonicalBelowPUnchanged) {
    auto pm1 = hex32(kPHex);
    pm1[0] = 0xec;
    EXPECT_EQ(bytes_of(fe_from_bytes(pm1.data())), pm1);
    // Results of arithmetic that land on p - 1 and on 0.
    EXPECT_EQ(bytes_of(fe_neg(fe_one())), pm1);
    EXPECT_EQ(bytes_of(fe_add(fe_neg(fe_one()), fe_one())), bytes_of(fe_zero()));
}

TEST(Field, ArithmeticIdentitiesOnRandomValues) {
    test::TestRng rng{12345};
    for (int i = 0; i < 200; ++i) {
        const Fe a = random_fe(rng), b = random_fe(rng), c = random_fe(rng);
        EXPECT_EQ(bytes_of(fe_mul(a, b)), bytes_of(fe_mul(b, a)));
        EXPECT_EQ(bytes_of(fe_mul(fe_add(a, b), c)), bytes_of(fe_add(fe_mul(a, c), fe_mul(b, c))));
        EXPECT_EQ(bytes_of(fe_square(a)), bytes_of(fe_mul(a, a)));
        EXPECT_EQ(bytes_of(fe_add(fe_sub(a, b), b)), bytes_of(a));
        EXPECT_EQ(bytes_of(fe_square_n(a, 3)), bytes_of(fe_square(fe_square(fe_square(a)))));
        EXPECT_EQ(bytes_of(fe_mul(a, fe_invert(a))), bytes_of(fe_one()));
        EXPECT_EQ(bytes_of(fe_mul_small(a, 486662)), bytes_of(fe_mul(a, kFeMontA)));
    }
}

TEST(Field, LargestLimbsMultiplyCorrectly) {
    // All-ones limbs at the largest bound the formulas produce (below 2^54).
    Fe big;
    for (auto& l : big.v) l = (uint64_t(1) << 54) - 1;
    // big = (2^54 - 1) * (1 + 2^51 + ... + 2^204) = (2^54 - 1) * (2^255 - 1)/(2^51 - 1)
    const Fe ones = fe_from_bytes(hex32("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f").data());
    const Fe scale = fe_mul(fe_small((uint64_t(1) << 54) - 1), fe_invert(fe_small((uint64_t(1) << 51) - 1)));
    const Fe expected = fe_mul(ones, scale);
    EXPECT_EQ(bytes_of(fe_mul(big, fe_one())), bytes_of(expected));
    EXPECT_EQ(bytes_of(fe_square(big)), bytes_of(fe_square(expected)));
    EXPECT_EQ(bytes_of(fe_mul(big, big)), bytes_of(fe_square(expected)));
}

TEST(Field, InverseOfZeroIsZero) {
    EXPECT_EQ(bytes_of(fe_invert(fe_zero())), bytes_of(fe_zero()));
    EXPECT_EQ(bytes_of(fe_invert(fe_hex(kPHex))), bytes_of(fe_zero()));
}

TEST(Field, Constants) {
    EXPECT_EQ(bytes_of(fe_square(kFeSqrtM1)), bytes_of(fe_neg(fe_one())));
    // d * 121666 = -121665
    EXPECT_EQ(bytes_of(fe_mul_small(kFeD, 121666)), bytes_of(fe_neg(fe_small(121665))));
    EXPECT_EQ(bytes_of(kFeD2), bytes_of(fe_add(kFeD, kFeD)));
    EXPECT_EQ(bytes_of(kFeMontNegA), bytes_of(fe_neg(kFeMontA)));
}

struct SqrtCase {
    int64_t u, v;
    bool square;
};

class SqrtRatioSmall : public ::testing::TestWithParam<SqrtCase> {};

Fe fe_signed(int64_t x) { return x < 0 ? fe_neg(fe_small(uint64_t(-x))) : fe_small(uint64_t(x)); }

TEST_P(SqrtRatioSmall, FlagAndNonNegativeRoot) {
    const SqrtCase c = GetParam();
    const Fe u = fe_signed(c.u), v = fe_signed(c.v);
    const SqrtRatio r = fe_sqrt_ratio(u, v);
    EXPECT_EQ(r.is_square.bit(), c.square ? 1u : 0u);
    if (c.square) {
        EXPECT_EQ(fe_is_negative(r.root).bit(), 0u);
        EXPECT_EQ(bytes_of(fe_mul(fe_square(r.root), v)), bytes_of(u));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SqrtRatioSmall,
                         ::testing::Values(SqrtCase{0, 1, true}, SqrtCase{0, 0, true}, SqrtCase{0, 7, true},
                                           SqrtCase{1, 0, false}, SqrtCase{5, 0, false}, SqrtCase{4, 1, true},
                                           SqrtCase{1, 4, true}, SqrtCase{-1, 1, true}, SqrtCase{2, 1, false},
                                           SqrtCase{1, 2, false}, SqrtCase{-2, 1, false}, SqrtCase{9, -1, true},
                                           SqrtCase{3, 1, true}, SqrtCase{7, 1, false}, SqrtCase{7, 3, false}, SqrtCase{2, 8, true}));

TEST(Field, SqrtRatioRootValues) {
    // sqrt(4) = 2 (2 is even; -2 is odd), sqrt(1/4) is the even one of +-1/2.
    EXPECT_EQ(bytes_of(fe_sqrt_ratio(fe_small(4), fe_one()).root), bytes_of(fe_small(2)));
    const Fe half = fe_invert(fe_small(2));
    const Fe expected = fe_is_negative(half).bit() ? fe_neg(half) : half;
    EXPECT_EQ(bytes_of(fe_sqrt_ratio(fe_one(), fe_small(4)).root), bytes_of(expected));
    EXPECT_EQ(bytes_of(fe_sqrt_ratio(fe_zero(), fe_small(3)).root), bytes_of(fe_zero()));
}

TEST(Field, SqrtRatioOnRandomSquaresAndNonSquares) {
    test::TestRng rng{777};
    const Fe two = fe_small(2);  // a non-square
    for (int i = 0; i < 100; ++i) {
        const Fe x = random_fe(rng), v = random_fe(rng);
        const Fe u = fe_mul(fe_square(x), v);  // u/v = x^2
        const SqrtRatio r = fe_sqrt_ratio(u, v);
        ASSERT_EQ(r.is_square.bit(), 1u);
        EXPECT_EQ(bytes_of(r.root), bytes_of(fe_abs(x)));
        EXPECT_EQ(fe_sqrt_ratio(fe_mul(u, two), v).is_square.bit(), 0u);
    }
}

TEST(Field, SelectNegateCompare) {
    test::TestRng rng{99};
    for (int i = 0; i < 50; ++i) {
        const Fe a = random_fe(rng), b = random_fe(rng);
        Fe f = a;
        fe_cmov(f, b, ct::Choice::no());
        EXPECT_EQ(bytes_of(f), bytes_of(a));
        fe_cmov(f, b, ct::Choice::yes());
        EXPECT_EQ(bytes_of(f), bytes_of(b));
        Fe x = a, y = b;
        fe_cswap(x, y, ct::Choice::yes());
        EXPECT_EQ(bytes_of(x), bytes_of(b));
        EXPECT_EQ(bytes_of(y), bytes_of(a));
        EXPECT_EQ(bytes_of(fe_cneg(a, ct::Choice::yes())), bytes_of(fe_neg(a)));
        EXPECT_EQ(bytes_of(fe_cneg(a, ct::Choice::no())), bytes_of(a));
        EXPECT_EQ(fe_equal(a, fe_add(fe_sub(a, b), b)).bit(), 1u);
        EXPECT_EQ(fe_equal(a, fe_add(a, fe_one())).bit(), 0u);
        EXPECT_EQ(fe_is_negative(a).bit(), uint64_t(bytes_of(a)[0] & 1));
        EXPECT_EQ(fe_is_negative(fe_abs(a)).bit(), 0u);
    }
    EXPECT_EQ(fe_is_negative(fe_zero()).bit(), 0u);
    EXPECT_EQ(fe_is_negative(fe_neg(fe_one())).bit(), 0u);  // p - 1 is even
    EXPECT_EQ(fe_is_zero(fe_hex(kPHex)).bit(), 1u);
}

TEST(Field, BatchInvertMatchesSingle) {
    test::TestRng rng{4242};
    for (size_t n : {1u, 2u, 7u, 64u}) {
        std::vector<Fe> a(n), scratch(n);
        for (auto& x : a) x = random_fe(rng);
        std::vector<Fe> b = a;
        fe_batch_invert(b.data(), n, scratch.data());
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(bytes_of(b[i]), bytes_of(fe_invert(a[i])));
    }
}

// In the KESTROVA_VERIFY build an operation fed a limb out of its range
// aborts, so that a formula edited out of bounds fails the tests.
struct BrokenBound {
    const char* name;
    Fe (*run)();
};

constexpr Fe kLimb0(uint64_t v) { return Fe{{v, 0, 0, 0, 0}}; }

class VerifyBounds : public ::testing::TestWithParam<BrokenBound> {};

TEST_P(VerifyBounds, Abort) {
#ifndef KESTROVA_VERIFY
    GTEST_SKIP() << "bounds are checked in the KESTROVA_VERIFY build only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(bytes_of(GetParam().run()), "arithmetic invariant broken");
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Ops, VerifyBounds,
    ::testing::Values(BrokenBound{"mul", [] { return fe_mul(kLimb0(kBit54), fe_one()); }},
                      BrokenBound{"square", [] { return fe_square(kLimb0(kBit54)); }},
                      BrokenBound{"sub", [] { return fe_sub(fe_one(), kLimb0(kBit53)); }},
                      BrokenBound{"sub_nc", [] { return fe_sub_nc(fe_one(), kLimb0(kBit52)); }},
                      BrokenBound{"sub4_nc", [] { return fe_sub4_nc(kLimb0(kBit53), fe_one()); }},
                      BrokenBound{"carry", [] { return fe_carry(kLimb0(uint64_t(1) << 63)); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::field
