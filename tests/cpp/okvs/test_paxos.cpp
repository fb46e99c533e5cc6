#include "okvs/paxos.h"
#include "okvs/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <string>
#include <tuple>
#include <vector>

#include "named_case.h"
#include "okvs/helpers.h"

namespace kestrova::okvs {
namespace {

using namespace testing;

// Reference for the dense term: only set bits among the low 32.
Cell dense_reference(const PaxosStore& s, uint64_t d) {
    Cell acc{};
    for (int j = 0; j < 32; ++j) {
        if ((d >> j) & 1) kestrova::okvs::xor_into(acc, s.dense[j]);
    }
    return acc;
}

struct Pairs {
    std::vector<std::string> keys;
    std::vector<Cell> values;
};

Pairs make_pairs(std::size_t n, uint64_t salt) {
    Pairs p;
    p.keys.reserve(n);
    p.values.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        p.keys.push_back("row " + std::to_string(i) + "/" + std::to_string(salt));
        p.values.push_back(cell_of(salt * 1000003 + i));
    }
    return p;
}

void expect_all_decode(const PaxosStore& store, const Pairs& p) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < p.keys.size(); ++i) {
        if (kestrova::okvs::paxos_decode(store, p.keys[i]) != p.values[i]) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "of " << p.keys.size() << " keys";
}

TEST(SparseCellCount, CeilOfTwoPointFourTimesN) {
    EXPECT_EQ(std::bit_cast<uint64_t>(kestrova::okvs::kExpansionFactor), 0x4003333333333333ull);
    const std::pair<uint64_t, uint64_t> table[] = {{0, 0},  {1, 3},  {2, 5},    {3, 8},    {4, 10},
                                                   {5, 12}, {10, 24}, {100, 240}, {1000, 2400}};
    for (auto [n, m] : table) EXPECT_EQ(kestrova::okvs::sparse_cell_count(n), m) << "n " << n;
    for (uint64_t n : {7ull, 12345ull, 1000001ull, 19999999ull}) {
        EXPECT_EQ(kestrova::okvs::sparse_cell_count(n), (12 * n + 4) / 5) << "n " << n;
    }
    EXPECT_EQ(kestrova::okvs::sparse_cell_count(UINT64_MAX), UINT64_MAX);  // saturates
}

TEST(PaxosEncode, EmptyStoreIsSeedsAndDenseCellsFromTheGenerator) {
    auto gen = fixed_generator(9), twin = fixed_generator(9), other = fixed_generator(10);
    const PaxosStore s = kestrova::okvs::paxos_encode({}, {}, gen);
    const PaxosStore same = kestrova::okvs::paxos_encode({}, {}, twin);
    const PaxosStore fresh = kestrova::okvs::paxos_encode({}, {}, other);
    EXPECT_TRUE(s.sparse.empty());
    EXPECT_EQ(std::tie(s.s0, s.s1, s.s2, s.dense), std::tie(same.s0, same.s1, same.s2, same.dense));
    EXPECT_NE(s.s0, fresh.s0);
    for (int j = 0; j < 32; ++j) EXPECT_NE(s.dense[j], fresh.dense[j]) << "dense " << j;
}

// One key, stored under many generators: it decodes whether its two sparse
// positions differ (peeled) or coincide (solved in the dense cells), and every
// cell the key does not fix is random.
TEST(PaxosEncode, OneKeyDecodesPeeledOrLooped) {
    int peeled = 0, loops = 0;
    const std::string key = "the only row";
    const Cell value = cell_of(77);
    for (uint8_t g = 20; g < 60; ++g) {
        auto gen = fixed_generator(g), other = fixed_generator(g + 100);
        const std::string keys[] = {key};
        const Cell values[] = {value};
        const PaxosStore s = kestrova::okvs::paxos_encode(keys, values, gen);
        const PaxosStore t = kestrova::okvs::paxos_encode(keys, values, other);
        const auto pos = kestrova::okvs::key_positions(key, s.s0, s.s1, s.s2, 3);
        ++(pos.p1 != pos.p2 ? peeled : loops);
        ASSERT_EQ(s.sparse.size(), 3u);
        EXPECT_NE(s.s0, t.s0);
        EXPECT_NE(s.dense, t.dense);
        EXPECT_EQ(kestrova::okvs::paxos_decode(t, key), value);
        EXPECT_EQ(kestrova::okvs::paxos_decode(s, key), value);
    }
    EXPECT_GT(peeled, 0);
    EXPECT_GT(loops, 0);
}

class RoundTrip : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RoundTrip, EveryStoredKeyDecodesToItsValue) {
    const Pairs p = make_pairs(GetParam(), 1);
    kestrova::okvs::EncodeStats stats;
    const PaxosStore s = kestrova::okvs::paxos_encode(p.keys, p.values, kestrova::random::thread_generator(), &stats);
    EXPECT_EQ(s.sparse.size(), kestrova::okvs::sparse_cell_count(GetParam()));
    EXPECT_GE(stats.attempts, 1u);
    expect_all_decode(s, p);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, ::testing::Values(0, 1, 2, 3, 1000, 200000));

// Stores are random; repeat until the interesting shape turns up.
TEST(PaxosEncode, KeysSolvedInTheCoreDecode) {
    int with_core = 0, with_loop = 0;
    for (int trial = 0; trial < 400 && (with_core < 3 || with_loop < 1); ++trial) {
        const Pairs p = make_pairs(trial % 2 ? 1000 : 1, trial);
        kestrova::okvs::EncodeStats stats;
        const PaxosStore s = kestrova::okvs::paxos_encode(p.keys, p.values, kestrova::random::thread_generator(), &stats);
        if (stats.core_pairs.empty()) continue;
        if (p.keys.size() == 1) ++with_loop; else ++with_core;
        for (uint32_t i : stats.core_pairs) EXPECT_EQ(kestrova::okvs::paxos_decode(s, p.keys[i]), p.values[i]);
        expect_all_decode(s, p);
    }
    EXPECT_GE(with_core, 3);
    EXPECT_GE(with_loop, 1);
}

TEST(PaxosEncode, TwoEncodingsDifferButDecodeAlike) {
    const Pairs p = make_pairs(300, 2);
    const PaxosStore a = kestrova::okvs::paxos_encode(p.keys, p.values);
    const PaxosStore b = kestrova::okvs::paxos_encode(p.keys, p.values);
    EXPECT_NE(a.s0, b.s0);
    EXPECT_NE(a.sparse, b.sparse);
    EXPECT_NE(a.dense, b.dense);
    expect_all_decode(a, p);
    expect_all_decode(b, p);
}

TEST(PaxosEncode, PairOverloadUsesKeyBytesOfRows) {
    const std::vector<std::pair<kestrova::okvs::Row, Cell>> pairs{
        {{"alice", "1"}, cell_of(1)}, {{"bob", "2"}, cell_of(2)}, {{"h\xc3\xa9", ""}, cell_of(3)}};
    const PaxosStore s = kestrova::okvs::paxos_encode(pairs);
    EXPECT_EQ(kestrova::okvs::paxos_decode(s, "alice1"), cell_of(1));
    EXPECT_EQ(kestrova::okvs::paxos_decode(s, "bob2"), cell_of(2));
    EXPECT_EQ(kestrova::okvs::paxos_decode(s, "h\xc3\xa9"), cell_of(3));
}

struct EqualKeysCase : test::NamedCase {
    kestrova::okvs::Row first, second;
    std::size_t others;
};

class EqualKeyBytes : public ::testing::TestWithParam<EqualKeysCase> {};

TEST_P(EqualKeyBytes, AreRefusedInsteadOfRetriedForever) {
    const auto& c = GetParam();
    std::vector<std::pair<kestrova::okvs::Row, Cell>> pairs{{c.first, cell_of(0)}};
    for (std::size_t i = 0; i < c.others; ++i) pairs.push_back({{"other", std::to_string(i)}, cell_of(i + 1)});
    pairs.push_back({c.second, cell_of(99)});
    const std::string msg = panic_message([&] { kestrova::okvs::paxos_encode(pairs); });
    EXPECT_NE(msg.find("two rows have the same key bytes"), std::string::npos) << msg;
    std::vector<std::string> keys;
    for (const auto& [row, cell] : pairs) keys.push_back(kestrova::okvs::key_bytes(row));
    EXPECT_EQ(panic_message([&] { kestrova::okvs::refuse_equal_keys(keys); }), msg);
}

int g_steps = 0, g_give_up_at = 0;
void count_steps() {
    if (++g_steps == g_give_up_at) throw g_steps;
}

TEST(PaxosEncode, StepHookMayAbandonTheEncodingAtEachStep) {
    const Pairs p = make_pairs(5000, 4);
    for (int k = 1; k <= 5; ++k) {  // hashing, then four steps of an accepted attempt
        g_steps = 0;
        g_give_up_at = k;
        EXPECT_THROW(kestrova::okvs::paxos_encode(p.keys, p.values, kestrova::random::thread_generator(), nullptr, count_steps),
                     int);
    }
}

TEST(RefuseEqualKeys, DistinctKeysPass) {
    std::vector<std::string> keys{"", "a", "ab", "abc", "b", std::string(1, '\0'), std::string(2, '\0')};
    for (int i = 0; i < 5000; ++i) keys.push_back("k" + std::to_string(i));
    kestrova::okvs::refuse_equal_keys(keys);
    kestrova::okvs::refuse_equal_keys({});
}

INSTANTIATE_TEST_SUITE_P(Rows, EqualKeyBytes,
                         ::testing::Values(EqualKeysCase{"split_differently", {"ab", "c"}, {"abc"}, 0},
                                           EqualKeysCase{"split_among_many", {"ab", "c"}, {"abc"}, 2000},
                                           EqualKeysCase{"empty_rows", {}, {""}, 5},
                                           EqualKeysCase{"same_row", {"x", "y"}, {"x", "y"}, 1}),
                         test::case_name);

TEST(PaxosEncode, ChanceDuplicatesOfDistinctKeysAreRetried) {
    // Three keys over 8 cells collide in about one attempt in eleven.
    uint64_t duplicates = 0;
    for (int trial = 0; trial < 500; ++trial) {
        const Pairs p = make_pairs(3, 1000 + trial);
        kestrova::okvs::EncodeStats stats;
        const PaxosStore s = kestrova::okvs::paxos_encode(p.keys, p.values, kestrova::random::thread_generator(), &stats);
        duplicates += stats.duplicates;
        expect_all_decode(s, p);
    }
    EXPECT_GT(duplicates, 0u);
}

TEST(PaxosEncode, MismatchedLengthsPanic) {
    const Pairs p = make_pairs(3, 3);
    const std::vector<Cell> two(p.values.begin(), p.values.begin() + 2);
    EXPECT_EQ(panic_message([&] { kestrova::okvs::paxos_encode(p.keys, two); }),
              "source slice length (2) does not match destination slice length (3)");
}

// Attempts over hand-made edges: p1, p2 and dense hash chosen directly.
struct AttemptCase : test::NamedCase {
    uint64_t m;
    std::vector<std::array<uint64_t, 3>> edges;
    kestrova::okvs::AttemptOutcome outcome;
};

class Attempt : public ::testing::TestWithParam<AttemptCase> {};

TEST_P(Attempt, OutcomeAndEquations) {
    const auto& c = GetParam();
    kestrova::okvs::EdgeEnds edges;
    std::vector<Cell> values;
    for (const auto& e : c.edges) {
        edges.push_back(uint32_t(e[0]), uint32_t(e[1]), e[2]);
        values.push_back(cell_of(values.size() + 17));
    }
    PaxosStore s{};
    auto gen = fixed_generator(11);
    kestrova::okvs::CellValues source(values);
    ASSERT_EQ(kestrova::okvs::encode_attempt(edges, source, c.m, gen, s), c.outcome);
    if (c.outcome != kestrova::okvs::AttemptOutcome::accepted) return;
    ASSERT_EQ(s.sparse.size(), c.m);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const Cell got = xor_of(s.sparse[edges.p1[i]], s.sparse[edges.p2[i]], dense_reference(s, edges.dense[i]));
        EXPECT_EQ(got, values[i]) << "edge " << i;
    }
}

std::vector<std::array<uint64_t, 3>> self_loops(int count) {
    std::vector<std::array<uint64_t, 3>> out;
    for (int i = 0; i < count; ++i) out.push_back({uint64_t(i), uint64_t(i), uint64_t(1) << i});
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Attempt,
    ::testing::Values(
        AttemptCase{"eight_core_edges_accepted", 10, self_loops(8), AttemptOutcome::accepted},
        AttemptCase{"nine_core_edges_refused", 10, self_loops(9), AttemptOutcome::large_core},
        AttemptCase{"dependent_self_loop", 3, {{1, 1, 0}}, AttemptOutcome::dependent_core},
        AttemptCase{"dependent_triangle", 5, {{1, 2, 3}, {2, 3, 6}, {1, 3, 5}}, AttemptOutcome::dependent_core},
        AttemptCase{"duplicate", 5, {{1, 2, 3}, {2, 1, 6}}, AttemptOutcome::duplicate},
        // A path hanging off a triangle: peeled edges written over the core.
        AttemptCase{"path_off_triangle",
                    8,
                    {{1, 2, 0x3}, {2, 3, 0x6}, {3, 1, 0xC}, {3, 4, 0x10}, {4, 5, 0}, {5, 6, 0xFFFFFFFF}},
                    AttemptOutcome::accepted},
        AttemptCase{"self_loop_with_tail", 6, {{2, 2, 0x80000001}, {2, 4, 0x2}, {4, 5, 0}}, AttemptOutcome::accepted}),
    test::case_name);

TEST(PaxosDecode, StoreWithoutSparseCellsYieldsDenseSelection) {
    PaxosStore s{};
    s.s0 = 0x8000000000000001ull;
    s.s1 = 5;
    s.s2 = 0xFEEDFACECAFEBEEFull;
    for (int j = 0; j < 32; ++j) s.dense[j] = cell_of(500 + j);
    for (const char* key : {"", "abc", "a longer key of several words"}) {
        EXPECT_EQ(kestrova::okvs::paxos_decode(s, key), dense_reference(s, kestrova::okvs::key_hash(key, s.s2))) << key;
    }
}

TEST(DenseSelection, MatchesBitByBitReference) {
    PaxosStore s{};
    auto gen = fixed_generator(12);
    for (auto& c : s.dense) c = kestrova::okvs::random_cell(gen);
    for (uint64_t mask : {0ull, 1ull, 0x80000000ull, 0xFFFFFFFFull, 0xFFFFFFFF00000000ull, 0x123456789ABCDEF0ull}) {
        Cell got = cell_of(3);
        kestrova::okvs::xor_dense_selection(got, s.dense.data(), mask);
        EXPECT_EQ(got, xor_of(cell_of(3), dense_reference(s, mask))) << std::hex << mask;
    }
}

// Fetched ahead and decoded later, in any order, a key gives what paxos_decode gives;
// also for keys the store was not built over, and for a store without sparse cells.
TEST(PaxosDecode, FetchedAheadMatchesDecode) {
    const Pairs p = make_pairs(500, 9);
    auto gen = fixed_generator(9);
    const PaxosStore built = paxos_encode(p.keys, p.values, gen);
    PaxosStore empty = built;
    empty.sparse.clear();
    for (const PaxosStore* store : {&built, static_cast<const PaxosStore*>(&empty)}) {
        const StoreView view = view_of(*store);
        std::vector<std::string> keys = p.keys;
        for (int i = 0; i < 100; ++i) keys.push_back("absent " + std::to_string(i));
        std::vector<SparsePair> fetched;
        for (const std::string& key : keys) fetched.push_back(paxos_fetch(view, key));
        for (std::size_t i = keys.size(); i-- > 0;)
            EXPECT_EQ(paxos_decode_fetched(view, keys[i], fetched[i]), paxos_decode(view, keys[i])) << keys[i];
    }
}

}  // namespace
}  // namespace kestrova::okvs
