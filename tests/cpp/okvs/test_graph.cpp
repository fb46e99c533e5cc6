#include "okvs/graph.h"

#include <gtest/gtest.h>

#include <utility>
#include <variant>
#include <vector>

namespace {

using kestrova::okvs::CoreEdge;
using kestrova::okvs::EdgeEnds;
using kestrova::okvs::HashingGraph;

EdgeEnds edges_of(const std::vector<std::pair<uint32_t, uint32_t>>& ends) {
    EdgeEnds e;
    for (std::size_t i = 0; i < ends.size(); ++i) e.push_back(ends[i].first, ends[i].second, 0x100 + i);
    return e;
}

HashingGraph graph_of(const std::vector<std::pair<uint32_t, uint32_t>>& ends, uint64_t m) {
    auto built = kestrova::okvs::build_graph(edges_of(ends), m);
    if (!std::holds_alternative<HashingGraph>(built)) ADD_FAILURE() << "unexpected duplicate";
    return std::get<HashingGraph>(std::move(built));
}

struct Peeled {
    uint32_t t, u, edge;
    bool operator==(const Peeled&) const = default;
};
struct Core {
    uint32_t u, v, edge;
    bool operator==(const Core&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Peeled& p) {
    return os << "(t " << p.t << ", u " << p.u << ", e" << p.edge << ")";
}
std::ostream& operator<<(std::ostream& os, const Core& c) {
    return os << "(" << c.u << ", " << c.v << ", e" << c.edge << ")";
}

struct PeelCase {
    const char* name;
    uint64_t m;
    std::vector<std::pair<uint32_t, uint32_t>> ends;
    std::vector<Peeled> peeled;  // in peeling order
    std::vector<Core> core;      // in elimination order
};
void PrintTo(const PeelCase& c, std::ostream* os) { *os << c.name; }

class PeelAndCore : public ::testing::TestWithParam<PeelCase> {};

TEST_P(PeelAndCore, PeelsAndOrdersTheCoreExactly) {
    const PeelCase& c = GetParam();
    HashingGraph g = graph_of(c.ends, c.m);
    EXPECT_EQ(g.edge_count(), c.ends.size());
    const kestrova::okvs::PeelResult r = kestrova::okvs::peel(g);
    std::vector<Peeled> peeled;
    for (const auto& p : r.peeled) peeled.push_back({p.t, p.u, p.edge});
    EXPECT_EQ(peeled, c.peeled);
    EXPECT_EQ(r.remaining, c.core.size());
    std::vector<Core> core;
    for (const CoreEdge& e : kestrova::okvs::take_core_edges(g)) core.push_back({e.u, e.v, e.edge});
    EXPECT_EQ(core, c.core);
    for (uint64_t v = 0; v < c.m; ++v) {
        EXPECT_EQ(g.degree(v), 0u);
        EXPECT_EQ(g.self_loop(v), kestrova::okvs::kNoEdge);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, PeelAndCore,
    ::testing::Values(
        PeelCase{"no_edges", 0, {}, {}, {}},
        // The scan reaches the smaller cell first, whichever way round the edge is.
        PeelCase{"single_edge", 3, {{2, 0}}, {{0, 2, 0}}, {}},
        PeelCase{"single_edge_upper", 3, {{1, 2}}, {{1, 2, 0}}, {}},
        PeelCase{"self_loop", 3, {{1, 1}}, {}, {{1, 1, 0}}},
        // Entries are taken from the end of each list.
        PeelCase{"triangle", 5, {{1, 2}, {2, 3}, {1, 3}}, {}, {{1, 3, 2}, {1, 2, 0}, {2, 3, 1}}},
        // The chain walk follows 6 -> 5 -> 4 and stops at the cycle.
        PeelCase{"path_off_cycle",
                 8,
                 {{1, 2}, {2, 3}, {3, 1}, {3, 4}, {4, 5}, {5, 6}},
                 {{6, 5, 5}, {5, 4, 4}, {4, 3, 3}},
                 {{1, 3, 2}, {1, 2, 0}, {2, 3, 1}}},
        // A chain walk from the scan, continuing upwards past the scan position.
        PeelCase{"path", 4, {{0, 1}, {1, 2}, {2, 3}}, {{0, 1, 0}, {1, 2, 1}, {2, 3, 2}}, {}},
        // Peeling 5 swap-removes e0 from node 0's list [e0, e1, e2], giving [e2, e1],
        // so the core starts with e1.
        PeelCase{"swap_remove_order",
                 6,
                 {{0, 5}, {0, 1}, {0, 2}, {1, 2}},
                 {{5, 0, 0}},
                 {{0, 1, 1}, {0, 2, 2}, {1, 2, 3}}},
        // Node 3 falls to degree 1 but carries a self-loop: the chain stops there and
        // both its edges stay.
        PeelCase{"degree_one_with_self_loop",
                 6,
                 {{0, 1}, {1, 2}, {0, 2}, {1, 3}, {3, 3}, {3, 4}, {4, 5}},
                 {{5, 4, 6}, {4, 3, 5}},
                 {{0, 2, 2}, {0, 1, 0}, {1, 2, 1}, {1, 3, 3}, {3, 3, 4}}},
        // A node's self-loop comes before its list.
        PeelCase{"self_loop_first", 4, {{0, 1}, {1, 2}, {2, 0}, {0, 0}}, {}, {{0, 0, 3}, {0, 2, 2}, {0, 1, 0}, {1, 2, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct DuplicateCase {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> ends;
    bool duplicate;
    uint32_t earlier, later;
};
void PrintTo(const DuplicateCase& c, std::ostream* os) { *os << c.name; }

class Duplicates : public ::testing::TestWithParam<DuplicateCase> {};

TEST_P(Duplicates, SameCellPairIsReportedWithBothEdges) {
    const DuplicateCase& c = GetParam();
    auto built = kestrova::okvs::build_graph(edges_of(c.ends), 8);
    ASSERT_EQ(std::holds_alternative<kestrova::okvs::Duplicate>(built), c.duplicate);
    if (c.duplicate) {
        EXPECT_EQ(std::get<kestrova::okvs::Duplicate>(built).earlier, c.earlier);
        EXPECT_EQ(std::get<kestrova::okvs::Duplicate>(built).later, c.later);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, Duplicates,
    ::testing::Values(DuplicateCase{"same_order", {{1, 2}, {3, 4}, {1, 2}}, true, 0, 2},
                      DuplicateCase{"reversed", {{1, 2}, {3, 4}, {2, 1}}, true, 0, 2},
                      DuplicateCase{"two_self_loops", {{5, 5}, {1, 2}, {5, 5}}, true, 0, 2},
                      DuplicateCase{"first_of_several", {{1, 2}, {2, 1}, {3, 4}, {4, 3}}, true, 0, 1},
                      DuplicateCase{"shared_cell", {{1, 2}, {2, 3}, {1, 3}, {3, 3}}, false, 0, 0},
                      DuplicateCase{"loop_and_edge", {{1, 1}, {1, 2}, {2, 2}}, false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
