#include "okvs/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "named_case.h"
#include "okvs/helpers.h"
#include "okvs/store_bytes.h"

namespace kestrova::okvs {
namespace {

using namespace testing;

std::vector<std::string> numbered_keys(std::size_t n, const std::string& prefix) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < n; ++i) keys.push_back(prefix + std::to_string(i));
    return keys;
}

// Values made on demand, as a streaming build makes them; every call is kept.
class RecordingValues final : public ValueSource {
public:
    void fill(std::span<const uint32_t> rows, Cell* out) override {
        calls.emplace_back(rows.begin(), rows.end());
        for (std::size_t k = 0; k < rows.size(); ++k) out[k] = cell_of(rows[k]);
    }
    std::vector<std::vector<uint32_t>> calls;
};

struct Encoded {
    PaxosStore store;
    EncodeStats stats;
    std::vector<std::vector<uint32_t>> calls;
};

Encoded encode_recorded(const std::vector<std::string>& keys, kestrova::random::Generator& gen) {
    KeyStrings source(keys);
    RecordingValues values;
    Encoded out;
    out.store = encode(source, values, gen, &out.stats);
    out.calls = std::move(values.calls);
    return out;
}

// Every key decodes to its value, and the value source saw the contract: one
// core call per attempt that reached elimination, the accepted attempt's core
// last among them, then the peeled rows in chunks, each row exactly once.
void expect_sound(const std::vector<std::string>& keys, const Encoded& e) {
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(paxos_decode(e.store, keys[i]), cell_of(i)) << keys[i];
    const uint64_t core_calls = e.stats.attempts - e.stats.duplicates - e.stats.large_cores;
    ASSERT_GE(e.calls.size(), core_calls);
    ASSERT_GE(core_calls, 1u);
    EXPECT_EQ(e.calls[core_calls - 1], e.stats.core_pairs);
    std::vector<uint32_t> seen = e.stats.core_pairs;
    for (std::size_t c = core_calls; c < e.calls.size(); ++c) {
        EXPECT_FALSE(e.calls[c].empty());
        EXPECT_LE(e.calls[c].size(), kValueChunk);
        seen.insert(seen.end(), e.calls[c].begin(), e.calls[c].end());
    }
    std::sort(seen.begin(), seen.end());
    std::vector<uint32_t> all(keys.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = uint32_t(i);
    EXPECT_EQ(seen, all);
}

// The seeds the encoder draws first from a generator made by fixed_generator(g).
struct Seeds {
    uint64_t s0, s1, s2;
};
Seeds first_seeds(uint8_t g) {
    auto probe = fixed_generator(g);
    const uint64_t s0 = probe.next_u64();
    const uint64_t s1 = probe.next_u64();
    return {s0, s1, probe.next_u64()};
}

std::pair<uint64_t, uint64_t> cells_of(const std::string& key, const Seeds& s, uint64_t m) {
    const KeyPositions p = key_positions(key, s.s0, s.s1, s.s2, m);
    return {std::min(p.p1, p.p2), std::max(p.p1, p.p2)};
}

class ValueSourcePaths : public ::testing::TestWithParam<std::size_t> {};

// Values held by the caller and values made on demand give the same store
// from the same generator, byte for byte.
TEST_P(ValueSourcePaths, GiveTheSameBytes) {
    const std::size_t n = GetParam();
    const std::vector<std::string> keys = numbered_keys(n, "row ");
    std::vector<Cell> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = cell_of(i);
    for (uint8_t g = 1; g <= 8; ++g) {
        auto gen = fixed_generator(g), twin = fixed_generator(g);
        const Encoded streamed = encode_recorded(keys, gen);
        const PaxosStore held = paxos_encode(keys, values, twin);
        EXPECT_EQ(store_to_bytes(streamed.store), store_to_bytes(held)) << "generator " << int(g);
        expect_sound(keys, streamed);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ValueSourcePaths, ::testing::Values(0, 1, 3, 300));

TEST(Encode, PeeledValuesComeInChunks) {
    const std::vector<std::string> keys = numbered_keys(2 * kValueChunk + 5, "many ");
    // A fixed draw: the count below needs a core, which a random draw may not leave.
    auto gen = fixed_generator(1);
    const Encoded e = encode_recorded(keys, gen);
    expect_sound(keys, e);
    EXPECT_GE(e.calls.size(), 4u);  // the core, then three chunks
}

// Two distinct keys on the same pair of cells under the first seeds: that
// attempt is abandoned and the encoding goes on with new seeds.
TEST(Encode, RetriesAChanceDuplicate) {
    const uint8_t g = 31;
    const Seeds seeds = first_seeds(g);
    const std::size_t n = 10;
    const uint64_t m = sparse_cell_count(n);
    std::vector<std::string> keys;
    std::set<std::pair<uint64_t, uint64_t>> taken;
    std::vector<std::pair<std::pair<uint64_t, uint64_t>, std::string>> candidates;
    for (int i = 0; keys.size() < 2; ++i) {
        const std::string k = "candidate " + std::to_string(i);
        const auto c = cells_of(k, seeds, m);
        for (const auto& [cells, other] : candidates)
            if (cells == c && keys.empty()) keys = {other, k}, taken.insert(c);
        candidates.push_back({c, k});
    }
    for (int i = 0; keys.size() < n; ++i) {
        const std::string k = "filler " + std::to_string(i);
        if (taken.insert(cells_of(k, seeds, m)).second) keys.push_back(k);
    }
    EXPECT_TRUE(find_equal_keys(KeyStrings(keys), EqualKeys::refuse).empty());

    auto gen = fixed_generator(g);
    const Encoded e = encode_recorded(keys, gen);
    EXPECT_GE(e.stats.duplicates, 1u);
    EXPECT_GE(e.stats.attempts, 2u);
    expect_sound(keys, e);
}

// Nine self-loops on distinct cells under the first seeds can never be peeled:
// a core too large, abandoned before any value is asked for.
TEST(Encode, RetriesALargeCore) {
    const uint8_t g = 47;
    const Seeds seeds = first_seeds(g);
    const std::size_t n = 20;
    const uint64_t m = sparse_cell_count(n);
    std::vector<std::string> keys;
    std::set<std::pair<uint64_t, uint64_t>> taken;
    for (int i = 0; keys.size() < kMaxCoreEdges + 1; ++i) {
        const std::string k = "loop " + std::to_string(i);
        const auto c = cells_of(k, seeds, m);
        if (c.first == c.second && taken.insert(c).second) keys.push_back(k);
    }
    for (int i = 0; keys.size() < n; ++i) {
        const std::string k = "filler " + std::to_string(i);
        const auto c = cells_of(k, seeds, m);
        if (c.first != c.second && taken.insert(c).second) keys.push_back(k);
    }

    auto gen = fixed_generator(g);
    const Encoded e = encode_recorded(keys, gen);
    EXPECT_GE(e.stats.large_cores, 1u);
    EXPECT_GE(e.stats.attempts, 2u);
    expect_sound(keys, e);
}

struct EqualKeysCase : test::NamedCase {
    std::vector<std::string> keys;
    std::vector<uint32_t> later;
};

class FindEqualKeys : public ::testing::TestWithParam<EqualKeysCase> {};

TEST_P(FindEqualKeys, DropsTheLaterOrRefuses) {
    const auto& c = GetParam();
    const KeyStrings keys(c.keys);
    EXPECT_EQ(find_equal_keys(keys, EqualKeys::drop), c.later);
    if (c.later.empty()) {
        EXPECT_TRUE(find_equal_keys(keys, EqualKeys::refuse).empty());
    } else {
        EXPECT_NE(panic_message([&] { find_equal_keys(keys, EqualKeys::refuse); }).find("the same key bytes"),
                  std::string::npos);
    }
}

std::vector<std::string> with_copies(std::size_t copies) {
    std::vector<std::string> keys = numbered_keys(1000, "k");
    for (std::size_t i = 0; i < copies; ++i) keys.push_back("k7");
    return keys;
}

std::vector<uint32_t> range(uint32_t begin, uint32_t end) {
    std::vector<uint32_t> out;
    for (uint32_t i = begin; i < end; ++i) out.push_back(i);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, FindEqualKeys,
    ::testing::Values(EqualKeysCase{"none", {"", "a", "ab", std::string(1, '\0'), std::string(2, '\0')}, {}},
                      EqualKeysCase{"empty", {}, {}},
                      EqualKeysCase{"repeats", {"a", "b", "a", "c", "a", "b"}, {2, 4, 5}},
                      EqualKeysCase{"empty_keys", {"", "x", ""}, {2}},
                      // Many copies of one key must not cost a pass per copy.
                      EqualKeysCase{"many_copies", with_copies(20000), range(1000, 21000)}),
    test::case_name);

TEST(StoreByteCount, FollowsTheCellCountAndSaturates) {
    for (uint64_t n : {0ull, 1ull, 10ull, 1000ull, 19999999ull})
        EXPECT_EQ(store_byte_count(n), kMinStoreBytes + kCellBytes * sparse_cell_count(n)) << n;
    EXPECT_EQ(store_byte_count(1000), 155672u);
    EXPECT_EQ(store_byte_count(UINT64_MAX / 8), UINT64_MAX);
}

}  // namespace
}  // namespace kestrova::okvs
