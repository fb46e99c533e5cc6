#include "okvs/elimination.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "named_case.h"
#include "okvs/helpers.h"

namespace kestrova::okvs {
namespace {

using namespace testing;

std::map<uint64_t, Cell> as_map(const kestrova::okvs::CoreSolution& s) {
    std::map<uint64_t, Cell> out;
    for (const auto& c : s) out[c.column] = c.cell;
    return out;
}

// Every row's columns XOR to its value.
void expect_satisfied(const std::vector<EquationRow>& rows, const std::map<uint64_t, Cell>& sol) {
    for (const auto& row : rows) {
        Cell acc{};
        for (uint64_t c : row.columns) {
            ASSERT_TRUE(sol.count(c)) << "column " << c << " unsolved";
            kestrova::okvs::xor_into(acc, sol.at(c));
        }
        EXPECT_EQ(acc, row.value);
    }
}

std::vector<uint64_t> dense_columns(uint64_t m, std::initializer_list<uint64_t> bits) {
    std::vector<uint64_t> out;
    for (uint64_t b : bits) out.push_back(m + b);
    return out;
}

TEST(SolveCore, NoRowsDrawsNothing) {
    auto gen = fixed_generator(1);
    auto twin = fixed_generator(1);
    const auto sol = kestrova::okvs::solve_core({}, 10, gen);
    ASSERT_TRUE(sol.has_value());
    EXPECT_TRUE(sol->empty());
    EXPECT_EQ(gen.next_u64(), twin.next_u64());  // nothing was drawn
}

TEST(SolveCore, SelfLoopRowSolvedByItsLargestDenseColumn) {
    const uint64_t m = 10;
    const Cell v = cell_of(42);
    auto gen = fixed_generator(2);
    auto twin = fixed_generator(2);
    const auto sol = kestrova::okvs::solve_core({{dense_columns(m, {3, 17, 30}), v}}, m, gen);
    ASSERT_TRUE(sol.has_value());
    const Cell r1 = kestrova::okvs::random_cell(twin), r2 = kestrova::okvs::random_cell(twin);
    const auto got = as_map(*sol);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got.at(m + 3), r1);
    EXPECT_EQ(got.at(m + 17), r2);
    EXPECT_EQ(got.at(m + 30), xor_of(v, r1, r2));
    // The solving column drew a cell too before it was overwritten.
    kestrova::okvs::random_cell(twin);
    EXPECT_EQ(gen.next_u64(), twin.next_u64());
}

struct NonLoopCase : test::NamedCase {
    std::vector<uint64_t> dense_bits;
};

class NonLoopRow : public ::testing::TestWithParam<NonLoopCase> {};

// Free columns are met in ascending order; all but the last take random cells.
TEST_P(NonLoopRow, LastFreeColumnSolves) {
    const uint64_t m = 12;
    std::vector<uint64_t> columns{4, 9};
    for (uint64_t b : GetParam().dense_bits) columns.push_back(m + b);
    const Cell v = cell_of(7);
    auto gen = fixed_generator(3);
    auto twin = fixed_generator(3);
    const auto sol = kestrova::okvs::solve_core({{columns, v}}, m, gen);
    ASSERT_TRUE(sol.has_value());
    const auto got = as_map(*sol);
    ASSERT_EQ(got.size(), columns.size());
    Cell expected_last = v;
    for (std::size_t i = 0; i + 1 < columns.size(); ++i) {
        const Cell r = kestrova::okvs::random_cell(twin);
        EXPECT_EQ(got.at(columns[i]), r) << "column " << columns[i];
        expected_last = xor_of(expected_last, r);
    }
    EXPECT_EQ(got.at(columns.back()), expected_last);
}

INSTANTIATE_TEST_SUITE_P(Rows, NonLoopRow,
                         ::testing::Values(NonLoopCase{"with_mask", {0, 5, 31}}, NonLoopCase{"zero_mask", {}}),
                         test::case_name);

TEST(SolveCore, TriangleLeavesThirdRowDenseOnly) {
    // Edges {1,2}, {2,3}, {1,3} with masks {0,1}, {1,2}, {2,3}: the third row
    // reduces to dense columns {0, 3}, which back-substitution meets first.
    const uint64_t m = 5;
    const Cell va = cell_of(1), vb = cell_of(2), vc = cell_of(3);
    const std::vector<EquationRow> rows{{{1, 2, m + 0, m + 1}, va}, {{2, 3, m + 1, m + 2}, vb}, {{1, 3, m + 2, m + 3}, vc}};
    // Free columns take fresh random cells: two generators give two solutions, both exact.
    auto gen = fixed_generator(4);
    auto other = fixed_generator(5);
    const auto sol = kestrova::okvs::solve_core(rows, m, gen);
    const auto sol2 = kestrova::okvs::solve_core(rows, m, other);
    ASSERT_TRUE(sol.has_value() && sol2.has_value());
    const auto got = as_map(*sol), got2 = as_map(*sol2);
    EXPECT_EQ(got.size(), 7u);
    expect_satisfied(rows, got);
    expect_satisfied(rows, got2);
    EXPECT_NE(got.at(m + 0), got2.at(m + 0));
    EXPECT_NE(got.at(2), got2.at(2));
}

struct DependentCase : test::NamedCase {
    std::vector<EquationRow> rows;
};

class Dependent : public ::testing::TestWithParam<DependentCase> {};

TEST_P(Dependent, ReportsNoSolution) {
    auto gen = fixed_generator(5);
    EXPECT_FALSE(kestrova::okvs::solve_core(GetParam().rows, 8, gen).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Dependent,
    ::testing::Values(DependentCase{"self_loop_zero_mask", {{{}, cell_of(1)}}},
                      // Sparse columns cancel and the masks XOR to zero.
                      DependentCase{"triangle_masks_cancel",
                                    {{{1, 2, 8 + 0, 8 + 1}, cell_of(1)},
                                     {{2, 3, 8 + 1, 8 + 2}, cell_of(2)},
                                     {{1, 3, 8 + 0, 8 + 2}, cell_of(3)}}},
                      DependentCase{"equal_self_loops", {{{8 + 4}, cell_of(1)}, {{8 + 4}, cell_of(2)}}}),
    test::case_name);

TEST(SolveCore, RandomCoresOfEightRowsAreSatisfied) {
    // Eight edges over few sparse cells with random masks: independent in practice.
    auto gen = fixed_generator(6);
    for (int trial = 0; trial < 50; ++trial) {
        const uint64_t m = 6;
        std::vector<EquationRow> rows;
        for (int i = 0; i < 8; ++i) {
            EquationRow row;
            const uint64_t a = gen.next_u64() % m, b = gen.next_u64() % m;
            if (a != b) row.columns = {std::min(a, b), std::max(a, b)};
            const uint32_t mask = gen.next_u32() | 1u << (i % 32);
            for (uint64_t j = 0; j < 32; ++j) {
                if ((mask >> j) & 1) row.columns.push_back(m + j);
            }
            row.value = cell_of(100 * trial + i);
            rows.push_back(row);
        }
        const auto sol = kestrova::okvs::solve_core(rows, m);
        ASSERT_TRUE(sol.has_value());
        expect_satisfied(rows, as_map(*sol));
    }
}

TEST(CoreRows, BuildsSortedColumnsFromEdges) {
    kestrova::okvs::EdgeEnds edges;
    edges.push_back(7, 2, 0xFFFFFFFF00000005ull);  // bits above 31 are ignored
    edges.push_back(3, 3, 0x80000000ull);
    const std::vector<Cell> values{cell_of(1), cell_of(2)};
    const std::vector<kestrova::okvs::CoreEdge> core{{3, 3, 1}, {7, 2, 0}};
    const auto rows = kestrova::okvs::core_rows(core, edges, values, 9);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].columns, (std::vector<uint64_t>{9 + 31}));
    EXPECT_EQ(rows[0].value, values[1]);
    EXPECT_EQ(rows[1].columns, (std::vector<uint64_t>{2, 7, 9 + 0, 9 + 2}));
    EXPECT_EQ(rows[1].value, values[0]);
}

}  // namespace
}  // namespace kestrova::okvs
