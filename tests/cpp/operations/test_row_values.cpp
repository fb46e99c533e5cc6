#include "operations/row_values.h"

#include <gtest/gtest.h>

#include <vector>

#include "curve_helpers.h"
#include "point_conversion/elligator.h"

namespace kestrova::operations {
namespace {

using group::Point;
using point_conversion::representative_to_point;
using test::bytes_of;

// Each value decodes to (r·B, r·PK) for one r: the second point is k times the first.
TEST(RowValues, BatchValuesAreEncryptionsOfTheNeutralElement) {
    test::TestRng rng{5};
    group::Scalar k;
    rng.fill(k.bytes, 32);
    k.bytes[31] &= 0x7f;
    const curve::FixedBaseTable table(curve::mul_base(k));
    for (size_t n : {0u, 1u, 37u}) {
        std::vector<RowValue> values(n);
        encrypt_row_values(table, values.data(), n, kestrova::random::thread_generator());
        for (size_t i = 0; i < n; ++i) {
            const Point first = representative_to_point(values[i].data());
            const Point second = representative_to_point(values[i].data() + 32);
            EXPECT_EQ(bytes_of(second), bytes_of(curve::mul(first, k))) << i;
            if (i > 0) {
                EXPECT_NE(values[i], values[i - 1]);
            }
        }
    }
}

}  // namespace
}  // namespace kestrova::operations
