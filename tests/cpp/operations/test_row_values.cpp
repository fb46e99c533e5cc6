#include "operations/row_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "curve_helpers.h"
#include "point_conversion/elligator.h"

namespace kestrova::operations {
namespace {

using group::Point;
using point_conversion::representative_to_point;
using test::bytes_of;

// Each value decodes to (r·B, r·PK) for one r: the second point is k times the first. On the pool,
// the ranges' values come from every thread's generator and none repeats.
class RowValuesOf : public ::testing::TestWithParam<std::tuple<bool, size_t>> {};

TEST_P(RowValuesOf, EncryptionsOfTheNeutralElementNoneRepeated) {
    const auto [on_pool, n] = GetParam();
    test::TestRng rng{5};
    group::Scalar k;
    rng.fill(k.bytes, 32);
    k.bytes[31] &= 0x7f;
    const curve::FixedBaseTable table(curve::mul_base(k));
    std::vector<RowValue> values(n);
    if (on_pool)
        encrypt_row_values_on_pool(table, values.data(), n);
    else
        encrypt_row_values(table, values.data(), n, kestrova::random::thread_generator());
    for (size_t i = 0; i < n; ++i) {
        const Point first = representative_to_point(values[i].data());
        const Point second = representative_to_point(values[i].data() + 32);
        ASSERT_EQ(bytes_of(second), bytes_of(curve::mul(first, k))) << i;
    }
    std::sort(values.begin(), values.end());
    EXPECT_EQ(std::adjacent_find(values.begin(), values.end()), values.end());
}

INSTANTIATE_TEST_SUITE_P(Sizes, RowValuesOf,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0, 1, 37, 1000)));

}  // namespace
}  // namespace kestrova::operations
