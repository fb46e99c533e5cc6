#include <gtest/gtest.h>

#include <vector>

#include "helpers.h"
#include "keys/batch.h"
#include "keys/batch_ifma.h"
#include "keys/multiply.h"
#include "keys/point.h"

namespace kestrova::keys {
namespace {

using test::base_point;
using test::bytes_of;
using test::hex32;
using test::scalar_hex;
using test::scalar_u64;

Scalar random_255(test::TestRng& rng) {
    Scalar s;
    rng.fill(s.bytes, 32);
    s.bytes[31] &= 0x7f;
    return s;
}

// A point of order 8: mixed with B it gives points of order 8 * l.
Point order8_point() {
    return *decompress(hex32("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05").data());
}

// Double-and-add over the 255 bits, the reference for the windowed routines.
Point reference_mul(const Point& p, const Scalar& s) {
    Point r = identity();
    for (int bit = 254; bit >= 0; --bit) {
        r = dbl(r);
        if ((s.bytes[bit / 8] >> (bit % 8)) & 1) r = add(r, p);
    }
    return r;
}

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
            ASSERT_TRUE(equal(a, m)) << "row " << i << " entry " << j;
            ASSERT_EQ(bytes_of(e.xy2d), bytes_of(fe_mul(a.T, kFeD2)));
            m = add(m, row_base);
        }
        for (int k = 0; k < 8; ++k) row_base = dbl(row_base);
    }
}

TEST(Points, BaseTableEntriesAreRepeatedAdditions) {
    expect_table_of(base_point(), base_table_entry);
}

TEST(Points, RuntimeTableEntriesAreRepeatedAdditions) {
    const Point p = add(base_point(), order8_point());
    const FixedBaseTable table(p);
    expect_table_of(p, [&](int i, int j) -> const PointNiels& { return table.entry(i, j); });
}

TEST(Points, GroupLaws) {
    test::TestRng rng{31337};
    const Point t8 = order8_point();
    for (int i = 0; i < 20; ++i) {
        const Point a = add(mul_base(random_255(rng)), t8);
        const Point b = mul_base(random_255(rng));
        const Point c = add(mul_base(random_255(rng)), dbl(t8));
        EXPECT_TRUE(is_valid(a) && is_valid(b) && is_valid(c));
        EXPECT_TRUE(equal(add(a, b), add(b, a)));
        EXPECT_TRUE(equal(add(add(a, b), c), add(a, add(b, c))));
        EXPECT_TRUE(equal(add(a, identity()), a));
        EXPECT_TRUE(equal(add(a, neg(a)), identity()));
        EXPECT_TRUE(equal(sub(a, b), add(a, neg(b))));
        EXPECT_TRUE(equal(dbl(a), add(a, a)));
        EXPECT_FALSE(equal(a, b));
        EXPECT_FALSE(equal(a, neg(a)));
        const Fe k = fe_small(uint64_t(1000 + i));
        EXPECT_TRUE(equal(rescaled(a, k), a));
        EXPECT_EQ(bytes_of(rescaled(a, k)), bytes_of(a));
    }
}

TEST(Points, SmallOrderPoint) {
    const Point t8 = order8_point();
    Point m = t8;
    for (int k = 2; k <= 8; ++k) {
        m = add(m, t8);
        EXPECT_EQ(equal(m, identity()), k == 8) << k;
    }
    EXPECT_TRUE(equal(mul(t8, scalar_u64(8)), identity()));
    EXPECT_TRUE(equal(mul(t8, scalar_u64(13)), mul(t8, scalar_u64(5))));
}

TEST(Points, CompressDecompressRoundTrip) {
    test::TestRng rng{5};
    const Point t8 = order8_point();
    for (int i = 0; i < 50; ++i) {
        const Point a = add(mul_base(random_255(rng)), i % 2 ? t8 : identity());
        const auto enc = bytes_of(a);
        const auto back = decompress(enc.data());
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(equal(*back, a));
        EXPECT_TRUE(is_valid(*back));
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
    const auto p = decompress(hex32(c.hex).data());
    ASSERT_EQ(p.has_value(), c.accepted);
    if (p) {
        EXPECT_TRUE(is_valid(*p));
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
    const auto p = decompress(flipped.data());
    ASSERT_TRUE(p.has_value());
    EXPECT_TRUE(equal(*p, neg(base_point())));
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
    EXPECT_TRUE(equal(mul(b, s), reference_mul(b, s)));
    EXPECT_TRUE(equal(mul(mixed, s), reference_mul(mixed, s)));
    EXPECT_TRUE(equal(mul_base(s), reference_mul(b, s)));
    EXPECT_TRUE(equal(FixedBaseTable(mixed).mul(s), reference_mul(mixed, s)));
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
        EXPECT_TRUE(equal(mul(p, s), expected));
        EXPECT_TRUE(equal(FixedBaseTable(p).mul(s), expected));
        EXPECT_TRUE(equal(mul_base(s), reference_mul(base_point(), s)));
    }
    // The order of B: l * B is the identity, l * (B + T8) is l * T8 = 5 * T8 (l = 5 mod 8).
    const Scalar l = scalar_hex(test::kOrderHex);
    EXPECT_TRUE(equal(mul(base_point(), l), identity()));
    EXPECT_TRUE(equal(mul(add(base_point(), t8), l), mul(t8, scalar_u64(5))));
}

TEST(Batch, MatchesSinglePointRoutines) {
    test::TestRng rng{8080};
    const Point t8 = order8_point();
    for (size_t n : {0u, 1u, 3u, 65u, 130u}) {
        std::vector<Point> points(n), out(n);
        std::vector<Scalar> scalars(n);
        for (size_t i = 0; i < n; ++i) {
            points[i] = add(mul_base(random_255(rng)), i % 2 ? t8 : identity());
            scalars[i] = random_255(rng);
        }
        const Scalar one_s = random_255(rng);
        const FixedBaseTable table(points.empty() ? base_point() : points[0]);

        for (const BatchBackend* backend : {&serial_backend(), &batch_backend(), ifma_backend()}) {
            if (backend == nullptr) continue;  // no AVX-512 IFMA here
            SCOPED_TRACE(backend->name);
            backend->mul_each(points.data(), scalars.data(), out.data(), n);
            for (size_t i = 0; i < n; ++i) ASSERT_TRUE(equal(out[i], mul(points[i], scalars[i])));
            backend->mul_all(points.data(), one_s, out.data(), n);
            for (size_t i = 0; i < n; ++i) ASSERT_TRUE(equal(out[i], mul(points[i], one_s)));
            backend->mul_base_each(scalars.data(), out.data(), n);
            for (size_t i = 0; i < n; ++i) ASSERT_TRUE(equal(out[i], mul_base_serial(scalars[i])));
            for (size_t i = 0; i < n; ++i) ASSERT_TRUE(equal(backend->mul_base_one(scalars[i]), out[i]));
            backend->mul_table_each(table, scalars.data(), out.data(), n);
            for (size_t i = 0; i < n; ++i) ASSERT_TRUE(equal(out[i], table.mul(scalars[i])));

            std::vector<uint8_t> enc(32 * n + 1, 0xa5);
            backend->compress_all(points.data(), enc.data(), n);
            for (size_t i = 0; i < n; ++i) {
                const auto single = bytes_of(points[i]);
                ASSERT_TRUE(std::equal(single.begin(), single.end(), enc.begin() + 32 * i)) << i;
            }
            EXPECT_EQ(enc[32 * n], 0xa5);  // nothing written past the end

            if (n > 0) enc[32 * (n - 1)] = 2, std::fill(enc.begin() + 32 * (n - 1) + 1, enc.begin() + 32 * n, 0);
            std::vector<uint8_t> ok(n, 7);
            std::vector<Point> decoded(n);
            backend->decompress_all(enc.data(), decoded.data(), ok.data(), n);
            for (size_t i = 0; i < n; ++i) {
                if (i + 1 == n) {
                    EXPECT_EQ(ok[i], 0);  // y = 2 has no point
                } else {
                    ASSERT_EQ(ok[i], 1);
                    EXPECT_TRUE(equal(decoded[i], points[i]));
                }
            }
        }
        // The span forms cut to the shortest span.
        if (n >= 3) {
            std::vector<Point> few(2);
            mul_each(points, scalars, few);
            EXPECT_TRUE(equal(few[1], mul(points[1], scalars[1])));
        }
    }
}

TEST(Batch, DecompressEdgeEncodingsInEveryBackend) {
    // Edge encodings and their single-point results, in one batch of eleven.
    const char* hexes[] = {"0100000000000000000000000000000000000000000000000000000000000000",
                           "0100000000000000000000000000000000000000000000000000000000000080",
                           "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                           "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                           "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
                           "0000000000000000000000000000000000000000000000000000000000000080",
                           "0200000000000000000000000000000000000000000000000000000000000000",
                           test::kBaseHex,
                           "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
                           "0300000000000000000000000000000000000000000000000000000000000000",
                           "0000000000000000000000000000000000000000000000000000000000000000"};
    constexpr size_t n = sizeof hexes / sizeof hexes[0];
    std::vector<uint8_t> in;
    for (const char* h : hexes) {
        const auto b = hex32(h);
        in.insert(in.end(), b.begin(), b.end());
    }
    for (const BatchBackend* backend : {&serial_backend(), ifma_backend()}) {
        if (backend == nullptr) continue;
        SCOPED_TRACE(backend->name);
        std::vector<Point> out(n);
        std::vector<uint8_t> ok(n);
        backend->decompress_all(in.data(), out.data(), ok.data(), n);
        for (size_t i = 0; i < n; ++i) {
            const auto single = decompress(in.data() + 32 * i);
            ASSERT_EQ(ok[i] == 1, single.has_value()) << i;
            if (single) {
                EXPECT_EQ(bytes_of(out[i]), bytes_of(*single)) << i;
            }
        }
    }
}

TEST(Batch, EdgeScalarsAndSmallOrderPointsInEveryLane) {
    const char* hexes[] = {"0000000000000000000000000000000000000000000000000000000000000000",
                           "0100000000000000000000000000000000000000000000000000000000000000",
                           "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                           test::kOrderHex,
                           "8888888888888888888888888888888888888888888888888888888888888878",
                           "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
                           "0800000000000000000000000000000000000000000000000000000000000000",
                           "f7ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                           "0300000000000000000000000000000000000000000000000000000000000000"};
    std::vector<Scalar> scalars;
    for (const char* h : hexes) scalars.push_back(scalar_hex(h));
    const Point t8 = order8_point();
    std::vector<Point> points;
    for (size_t i = 0; i < scalars.size(); ++i) {
        Point p = t8;
        for (size_t k = 0; k < i % 8; ++k) p = add(p, t8);  // every small-order point
        points.push_back(i % 3 == 0 ? add(p, base_point()) : p);
    }
    const FixedBaseTable table(points[0]);
    for (size_t i = 0; i < scalars.size(); ++i) {
        EXPECT_TRUE(equal(table.mul(scalars[i]), reference_mul(points[0], scalars[i]))) << i;
        EXPECT_TRUE(equal(table.mul_serial(scalars[i]), reference_mul(points[0], scalars[i]))) << i;
    }
    for (const BatchBackend* backend : {&serial_backend(), ifma_backend()}) {
        if (backend == nullptr) continue;
        SCOPED_TRACE(backend->name);
        std::vector<Point> out(scalars.size());
        backend->mul_each(points.data(), scalars.data(), out.data(), out.size());
        for (size_t i = 0; i < out.size(); ++i) EXPECT_TRUE(equal(out[i], reference_mul(points[i], scalars[i]))) << i;
        backend->mul_base_each(scalars.data(), out.data(), out.size());
        for (size_t i = 0; i < out.size(); ++i) EXPECT_TRUE(equal(out[i], reference_mul(base_point(), scalars[i]))) << i;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_TRUE(equal(backend->mul_base_one(scalars[i]), reference_mul(base_point(), scalars[i]))) << i;
        }
        backend->mul_table_each(table, scalars.data(), out.data(), out.size());
        for (size_t i = 0; i < out.size(); ++i) EXPECT_TRUE(equal(out[i], reference_mul(points[0], scalars[i]))) << i;
    }
}

}  // namespace
}  // namespace kestrova::keys
