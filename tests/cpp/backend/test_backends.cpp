#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "curve/batch.h"
#include "curve/multiply.h"
#include "curve_helpers.h"
#include "group/point_internal.h"
#include "group/scalar_mul.h"
#include "panic/panic.h"

namespace kestrova::backend {
namespace {

using group::Point;
using group::Scalar;
using test::base_point;
using test::bytes_of;
using test::hex32;
using test::order8_point;
using test::random_255;
using test::reference_mul;
using test::scalar_hex;

std::unique_ptr<PreparedTable> prepare(const Backend& b, const Point& p) {
    group::PointNiels entries[group::kTableEntries];
    group::fill_table(p, entries);
    return b.prepare_table(entries);
}

// Whether /proc/cpuinfo lists the flag: the processor's own word, apart from
// the detection under test.
bool cpu_lists(const std::string& flag) {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string word; words >> word;)
            if (word == flag) return true;
        return false;
    }
    return false;
}

// Every backend against the portable single-item loops; one this processor
// cannot run is skipped, and one it can run must be there.
class EveryBackend : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "serial") {
            backend_ = &serial();
        } else {
            backend_ = GetParam() == "avx2" ? avx2() : ifma();
            if (backend_ == nullptr) {
                ASSERT_FALSE(cpu_lists(GetParam())) << "/proc/cpuinfo lists " << GetParam()
                                                    << ", but its backend is not available";
                GTEST_SKIP() << "no " << GetParam() << " on this processor";
            }
        }
        ASSERT_EQ(std::string(backend_->name()), GetParam());
    }
    const Backend& b() const { return *backend_; }

private:
    const Backend* backend_ = nullptr;
};

TEST_P(EveryBackend, MatchesSinglePointRoutines) {
    test::TestRng rng{8080};
    const Point t8 = order8_point();
    for (size_t n : {0u, 1u, 3u, 65u, 130u}) {
        std::vector<Point> points(n), out(n);
        std::vector<Scalar> scalars(n);
        for (size_t i = 0; i < n; ++i) {
            points[i] = group::add(curve::mul_base(random_255(rng)), i % 2 ? t8 : group::identity());
            scalars[i] = random_255(rng);
        }
        const Scalar one_s = random_255(rng);
        const Point table_point = points.empty() ? base_point() : points[0];
        const auto table = prepare(b(), table_point);

        b().mul_each(points.data(), scalars.data(), out.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_TRUE(group::equal(out[i], group::mul_point(points[i], scalars[i])).bit());
        const Point addend = group::add(base_point(), t8);
        b().mul_cleared_each(points.data(), addend, scalars.data(), out.data(), n);
        for (size_t i = 0; i < n; ++i) {
            const Point cleared = group::add(group::clear_cofactor(points[i]), addend);
            ASSERT_TRUE(group::equal(out[i], group::mul_point(cleared, scalars[i])).bit());
        }
        b().mul_all(points.data(), one_s, out.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_TRUE(group::equal(out[i], group::mul_point(points[i], one_s)).bit());
        b().mul_base_each(scalars.data(), out.data(), n);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(group::equal(out[i], group::mul_table(group::base_table(), scalars[i])).bit());
            ASSERT_TRUE(group::equal(b().mul_base_one(scalars[i]), out[i]).bit());
        }
        table->mul_each(scalars.data(), out.data(), n);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(group::equal(out[i], group::mul_point(table_point, scalars[i])).bit());
            ASSERT_TRUE(group::equal(table->mul(scalars[i]), out[i]).bit());
        }

        std::vector<uint8_t> enc(32 * n + 1, 0xa5);
        b().compress_all(points.data(), enc.data(), n);
        for (size_t i = 0; i < n; ++i) {
            const auto single = bytes_of(points[i]);
            ASSERT_TRUE(std::equal(single.begin(), single.end(), enc.begin() + 32 * i)) << i;
        }
        EXPECT_EQ(enc[32 * n], 0xa5);  // nothing written past the end

        if (n > 0) enc[32 * (n - 1)] = 2, std::fill(enc.begin() + 32 * (n - 1) + 1, enc.begin() + 32 * n, 0);
        std::vector<uint8_t> ok(n, 7);
        std::vector<Point> decoded(n);
        b().decompress_all(enc.data(), decoded.data(), ok.data(), n);
        for (size_t i = 0; i < n; ++i) {
            if (i + 1 == n) {
                EXPECT_EQ(ok[i], 0);  // y = 2 has no point
            } else {
                ASSERT_EQ(ok[i], 1);
                EXPECT_TRUE(group::equal(decoded[i], points[i]).bit());
            }
        }
    }
}

TEST_P(EveryBackend, DecompressEdgeEncodings) {
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
        const auto bytes = hex32(h);
        in.insert(in.end(), bytes.begin(), bytes.end());
    }
    std::vector<Point> out(n);
    std::vector<uint8_t> ok(n);
    b().decompress_all(in.data(), out.data(), ok.data(), n);
    for (size_t i = 0; i < n; ++i) {
        const auto single = group::decompress_vartime(in.data() + 32 * i);
        ASSERT_EQ(ok[i] == 1, single.has_value()) << i;
        if (single) {
            EXPECT_EQ(bytes_of(out[i]), bytes_of(*single)) << i;
        }
    }
}

TEST_P(EveryBackend, EdgeScalarsAndSmallOrderPointsInEveryLane) {
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
        for (size_t k = 0; k < i % 8; ++k) p = group::add(p, t8);  // every small-order point
        points.push_back(i % 3 == 0 ? group::add(p, base_point()) : p);
    }
    const auto table = prepare(b(), points[0]);
    std::vector<Point> out(scalars.size());
    b().mul_each(points.data(), scalars.data(), out.data(), out.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_TRUE(group::equal(out[i], reference_mul(points[i], scalars[i])).bit()) << i;
    b().mul_base_each(scalars.data(), out.data(), out.size());
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_TRUE(group::equal(out[i], reference_mul(base_point(), scalars[i])).bit()) << i;
        EXPECT_TRUE(group::equal(b().mul_base_one(scalars[i]), out[i]).bit()) << i;
    }
    table->mul_each(scalars.data(), out.data(), out.size());
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_TRUE(group::equal(out[i], reference_mul(points[0], scalars[i])).bit()) << i;
        EXPECT_TRUE(group::equal(table->mul(scalars[i]), out[i]).bit()) << i;
    }
}

TEST_P(EveryBackend, BatchedExponentiationMatchesTheFieldCode) {
    test::TestRng rng{77};
    for (size_t n : {1u, 9u, 33u}) {
        std::vector<field::Fe> in(n), out(n);
        for (size_t i = 0; i < n; ++i) {
            uint8_t bytes[32];
            rng.fill(bytes, 32);
            in[i] = i == 0 ? field::fe_zero() : field::fe_from_bytes(bytes);
        }
        b().pow22523_each(in.data(), out.data(), n);
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(test::bytes_of(out[i]), test::bytes_of(field::fe_pow22523(in[i])));
    }
}

// Named by backend, so that a build can pick one (the emulated IFMA build runs its own only).
INSTANTIATE_TEST_SUITE_P(Backends, EveryBackend, ::testing::Values("serial", "avx2", "avx512ifma"),
                         [](const auto& info) { return info.param; });

TEST(SpanForms, RefuseDifferentSizes) {
    std::vector<Point> points(3, base_point()), out(2);
    std::vector<Scalar> scalars(3);
    std::vector<uint8_t> bytes(32 * 3 - 1), ok(3);
    EXPECT_THROW(curve::mul_each(points, scalars, out), Panic);
    EXPECT_THROW(curve::mul_all(points, scalars[0], out), Panic);
    EXPECT_THROW(curve::mul_base_each(scalars, out), Panic);
    EXPECT_THROW(curve::mul_table_each(curve::FixedBaseTable(base_point()), scalars, out), Panic);
    EXPECT_THROW(curve::compress_all(points, bytes), Panic);
    EXPECT_THROW(curve::decompress_all(bytes, points, ok), Panic);
}

}  // namespace
}  // namespace kestrova::backend
