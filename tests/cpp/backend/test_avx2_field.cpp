// The four-lane field against the serial one, at the limb bounds the point
// formulas rely on: a product or a difference that overflows a 64-bit column
// or goes below zero gives a different residue here.
#include <gtest/gtest.h>

#include "backend/avx2_field.h"
#include "backend/avx2_layout.h"
#include "backend/backend.h"
#include "curve_helpers.h"

namespace kestrova::backend::avx2_lanes {
namespace {

using field::Fe;

// The serial element of raw ten limbs (below 2^54 per serial limb: what fe_mul takes).
Fe serial_of(const FeLanes& s, int lane) {
    Fe f;
    for (int k = 0; k < 5; ++k) f.v[k] = s.limb[2 * k][lane] + (s.limb[2 * k + 1][lane] << 26);
    return f;
}

struct Results {
    Stage mul, sq, sub, neg;
};

KESTROVA_AVX2 void run(const FeLanes& a_in, const FeLanes& b_in, const FeLanes& c_in, Results& r) {
    const F a = f_load(a_in), b = f_load(b_in), c = f_load(c_in);
    F t;
    f_mul(t, a, b);
    f_store(r.mul, t);
    f_sq(t, a);
    f_store(r.sq, t);
    f_store(r.sub, f_sub_carried(a, b));
    f_mul(t, f_neg(c), f_const(1));  // loose, so through a product by one
    f_store(r.neg, t);
}

// Lanes: every limb at its loose bound; at the carried bound; zero; random loose limbs.
void fill(FeLanes& loose, FeLanes& carried, test::TestRng& rng) {
    for (int k = 0; k < kLimbs; ++k) {
        const uint64_t lb = k % 2 == 0 ? kLooseEven : kLooseOdd;
        const uint64_t cb = k % 2 == 0 ? kCarriedEven : kCarriedOdd;
        loose.limb[k][0] = lb;
        carried.limb[k][0] = cb;
        loose.limb[k][1] = cb;
        carried.limb[k][1] = k == 0 ? 19 : 0;
        loose.limb[k][2] = 0;
        carried.limb[k][2] = 0;
        loose.limb[k][3] = rng.next() % (lb + 1);
        carried.limb[k][3] = rng.next() % (cb + 1);
    }
}

TEST(Avx2Field, MatchesTheSerialFieldAtTheLimbBounds) {
    if (avx2() == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
    test::TestRng rng{2525};
    for (int round = 0; round < 50; ++round) {
        FeLanes a, b, c, unused;
        fill(a, c, rng);
        fill(b, unused, rng);
        if (round % 2) std::swap(a.limb[0][0], a.limb[0][3]);  // mixed lanes
        Results r;
        run(a, b, c, r);
        for (int lane = 0; lane < kLanes; ++lane) {
            const Fe fa = serial_of(a, lane), fb = serial_of(b, lane), fc = serial_of(c, lane);
            EXPECT_EQ(test::bytes_of(r.mul.get(lane)), test::bytes_of(field::fe_mul(fa, fb))) << lane;
            EXPECT_EQ(test::bytes_of(r.sq.get(lane)), test::bytes_of(field::fe_square(fa))) << lane;
            const Fe diff = field::fe_sub(field::fe_carry(fa), field::fe_carry(fb));
            EXPECT_EQ(test::bytes_of(r.sub.get(lane)), test::bytes_of(diff)) << lane;
            EXPECT_EQ(test::bytes_of(r.neg.get(lane)), test::bytes_of(field::fe_neg(field::fe_carry(fc)))) << lane;
        }
    }
}

// One limb of one lane just past the bound an operation takes.
FeLanes just_over(int limb, uint64_t bound) {
    FeLanes s{};
    s.limb[limb][2] = bound + 1;
    return s;
}

KESTROVA_AVX2 void mul_over() {
    F t;
    f_mul(t, f_load(just_over(3, kLooseOdd)), f_const(1));
}
KESTROVA_AVX2 void square_over() {
    F t;
    f_sq(t, f_load(just_over(4, kLooseEven)));
}
KESTROVA_AVX2 void sub_over() {
    F t;
    f_mul(t, f_sub(f_const(0), f_load(just_over(1, kCarriedOdd))), f_const(1));
}
KESTROVA_AVX2 void sub_carried_over() {
    F t;
    f_mul(t, f_sub_carried(f_const(0), f_load(just_over(8, kLooseEven))), f_const(1));
}
KESTROVA_AVX2 void store_over() {
    FeLanes s;
    f_store(s, f_load(just_over(0, kCarriedEven)));
}

struct BrokenBound {
    const char* name;
    void (*run)();
};

class Avx2VerifyBounds : public ::testing::TestWithParam<BrokenBound> {};

TEST_P(Avx2VerifyBounds, Abort) {
#ifndef KESTROVA_VERIFY
    GTEST_SKIP() << "bounds are checked in the KESTROVA_VERIFY build only";
#else
    if (avx2() == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(GetParam().run(), "arithmetic invariant broken");
#endif
}

INSTANTIATE_TEST_SUITE_P(Ops, Avx2VerifyBounds,
                         ::testing::Values(BrokenBound{"mul", mul_over}, BrokenBound{"square", square_over},
                                           BrokenBound{"sub", sub_over},
                                           BrokenBound{"sub_carried", sub_carried_over},
                                           BrokenBound{"store", store_over}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova::backend::avx2_lanes
