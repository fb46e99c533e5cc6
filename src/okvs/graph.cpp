#include "okvs/graph.h"

#include <string>

#include "okvs/hashable.h"
#include "panic/panic.h"
#include "worker_pool/pool.h"

namespace kestrova::okvs {

namespace {
// Keys hashed per task: three hashes each, small beside the cost of a task.
constexpr std::size_t kHashGrain = std::size_t(1) << 12;
}  // namespace

void hash_edges(const KeySource& keys, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t m, EdgeEnds& out) {
    if (m > kMaxNodes) kestrova::panic("a store holds at most " + std::to_string(kMaxNodes) + " sparse cells");
    const std::size_t n = keys.size();
    out.p1.resize(n);
    out.p2.resize(n);
    out.dense.resize(n);
    worker_pool::parallel_for(n, kHashGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const KeyPositions pos = key_positions(keys.key(i), s0, s1, s2, m);
            out.p1[i] = uint32_t(pos.p1);
            out.p2[i] = uint32_t(pos.p2);
            out.dense[i] = pos.dense;
        }
    });
}

std::variant<HashingGraph, Duplicate> build_graph(const EdgeEnds& edges, uint64_t m) {
    const std::size_t n = edges.size();
    if (m > kMaxNodes || n >= UINT32_MAX / 2) {
        kestrova::panic("hashing graph too large: " + std::to_string(n) + " edges over " + std::to_string(m) +
                        " cells");
    }
    HashingGraph g;
    g.degree_.assign(m, 0);
    g.self_loop_.assign(m, kNoEdge);

    // Size every node's slice for all edges that may reach it.
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t a = edges.p1[i], b = edges.p2[i];
        if (a >= m || b >= m) kestrova::panic("edge cell out of range: internal error");
        if (a != b) {
            ++g.degree_[a];
            ++g.degree_[b];
        }
    }
    g.offset_.resize(m + 1);
    uint32_t total = 0;
    for (uint64_t v = 0; v < m; ++v) {
        g.offset_[v] = total;
        total += g.degree_[v];
        g.degree_[v] = 0;
    }
    g.offset_[m] = total;
    g.entries_.resize(total);

    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t a = edges.p1[i], b = edges.p2[i];
        const GraphEntry* list = g.entries_.data() + g.offset_[a];
        for (uint32_t k = 0; k < g.degree_[a]; ++k) {
            if (list[k].other == b) return Duplicate{list[k].edge, uint32_t(i)};
        }
        if (a != b) {
            g.entries_[g.offset_[a] + g.degree_[a]++] = {b, uint32_t(i)};
            g.entries_[g.offset_[b] + g.degree_[b]++] = {a, uint32_t(i)};
        } else {
            if (g.self_loop_[a] != kNoEdge) return Duplicate{g.self_loop_[a], uint32_t(i)};
            g.self_loop_[a] = uint32_t(i);
        }
        ++g.edge_count_;
    }
    return g;
}

void HashingGraph::remove_entry(uint32_t node, uint32_t other) {
    GraphEntry* list = entries_.data() + offset_[node];
    uint32_t& len = degree_[node];
    for (uint32_t k = 0; k < len; ++k) {
        if (list[k].other == other) {
            list[k] = list[len - 1];
            --len;
            return;
        }
    }
    kestrova::panic("hashing graph lost the reverse entry of an edge: internal error");
}

PeelResult peel(HashingGraph& g) {
    PeelResult result{{}, g.edge_count_};
    // Most edges peel; reserving avoids regrowing a large vector.
    result.peeled.reserve(g.edge_count_);
    const uint64_t m = g.node_count();
    for (uint64_t t0 = 0; t0 < m; ++t0) {
        uint32_t t = uint32_t(t0);
        while (g.degree_[t] == 1 && g.self_loop_[t] == kNoEdge) {
            const GraphEntry e = g.entries_[g.offset_[t]];
            g.degree_[t] = 0;
            g.remove_entry(e.other, t);
            result.peeled.push_back({t, e.other, e.edge});
            --result.remaining;
            t = e.other;
        }
    }
    return result;
}

std::vector<CoreEdge> take_core_edges(HashingGraph& g) {
    std::vector<CoreEdge> core;
    const uint64_t m = g.node_count();
    for (uint64_t node = 0; node < m; ++node) {
        const uint32_t u = uint32_t(node);
        if (g.self_loop_[u] != kNoEdge) {
            core.push_back({u, u, g.self_loop_[u]});
            g.self_loop_[u] = kNoEdge;
        }
        while (g.degree_[u] > 0) {
            const GraphEntry e = g.entries_[g.offset_[u] + --g.degree_[u]];
            g.remove_entry(e.other, u);
            core.push_back({u, e.other, e.edge});
        }
    }
    return core;
}

}  // namespace kestrova::okvs
