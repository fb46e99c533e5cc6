#include "okvs/hashable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "okvs/helpers.h"

namespace {

#include "xxh3_vectors.inc"

// Same formula as in make_xxh3_vectors.py.
std::string pattern_bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = char((i * 167 + 13) & 0xFF);
    return s;
}

TEST(KeyHash, MatchesReferenceOnEveryLengthBranchAndSeed) {
    for (const auto& v : kPatternVectors) {
        EXPECT_EQ(kestrova::okvs::key_hash(pattern_bytes(v.length), v.seed), v.hash)
            << "length " << v.length << " seed " << v.seed;
    }
}

TEST(KeyHash, RowsHashTheirJoinedUtf8Bytes) {
    for (const auto& v : kRowVectors) {
        EXPECT_EQ(kestrova::okvs::key_hash(kestrova::okvs::key_bytes(v.row), v.seed), v.hash) << "row of " << v.row.size();
    }
}

TEST(KeyBytes, SplitsOfTheSameTextAreTheSameKey) {
    const std::string abc = kestrova::okvs::key_bytes({"abc"});
    EXPECT_EQ(abc, "\x61\x62\x63");
    EXPECT_EQ(kestrova::okvs::key_bytes({"ab", "c"}), abc);
    EXPECT_EQ(kestrova::okvs::key_bytes({"a", "", "bc"}), abc);
    EXPECT_EQ(kestrova::okvs::key_bytes({}), kestrova::okvs::key_bytes({""}));
    EXPECT_TRUE(kestrova::okvs::key_bytes({"", ""}).empty());
}

TEST(KeyPositions, FullWidthRemaindersMatchReference) {
    for (const auto& v : kPositionVectors) {
        const auto pos = kestrova::okvs::key_positions(pattern_bytes(v.length), v.s0, v.s1, v.s2, v.m);
        EXPECT_EQ(pos.p1, v.p1) << "m " << v.m;
        EXPECT_EQ(pos.p2, v.p2) << "m " << v.m;
        EXPECT_EQ(pos.dense, v.d);
        EXPECT_LT(pos.p1, v.m);
        EXPECT_LT(pos.p2, v.m);
    }
}

TEST(KeyPositions, NoCellsToReachPanics) {
    EXPECT_EQ(kestrova::okvs::testing::panic_message([] { kestrova::okvs::key_positions("abc", 1, 2, 3, 0); }),
              "attempt to calculate the remainder with a divisor of zero");
}

}  // namespace
