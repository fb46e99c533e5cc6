#include "wide_ciphertexts/records.h"

#include <gtest/gtest.h>

#include <vector>

#include "panic/panic.h"

namespace kestrova::wide_ciphertexts {
namespace {

// Lengths around the record size: the count rounds up and only the last record is short.
TEST(Records, CountAndBounds) {
    const std::vector<uint8_t> bytes(300);
    for (size_t length : {0u, 1u, 127u, 128u, 129u, 256u, 300u}) {
        const std::span<const uint8_t> in(bytes.data(), length);
        const size_t n = record_count(length, 128);
        EXPECT_EQ(n, (length + 127) / 128) << length;
        size_t covered = 0;
        for (size_t i = 0; i < n; ++i) {
            const auto c = record_at(in, 128, i);
            EXPECT_EQ(c.data(), bytes.data() + 128 * i);
            EXPECT_EQ(c.size(), i + 1 < n ? 128u : length - 128 * i) << length << " " << i;
            covered += c.size();
        }
        EXPECT_EQ(covered, length);
    }
    EXPECT_THROW(record_count(10, 0), Panic);
}

}  // namespace
}  // namespace kestrova::wide_ciphertexts
