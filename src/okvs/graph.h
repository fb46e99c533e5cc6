// The hashing graph of one build attempt: one edge per pair between its two
// sparse cells, peeled down to a small core.
//
// Memory matters here (millions of nodes), so the adjacency lists are slices of
// one flat array: a node's slice is sized for all edges that will touch it, and
// entries are appended, swap-removed and taken from the end exactly as a
// per-node list would be. Entries name the edge; the edge's value stays with
// the caller and its dense hash in EdgeEnds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "okvs/hashable.h"

namespace kestrova::okvs {

inline constexpr uint64_t kMaxCoreEdges = 8;
inline constexpr uint32_t kNoEdge = UINT32_MAX;
// Node and edge indices are 32-bit; a store is limited to this many sparse cells.
inline constexpr uint64_t kMaxNodes = UINT32_MAX;

// The cells of every edge, in pair order.
struct EdgeEnds {
    std::vector<uint32_t> p1;
    std::vector<uint32_t> p2;
    std::vector<uint64_t> dense;

    std::size_t size() const { return p1.size(); }
    void push_back(uint32_t a, uint32_t b, uint64_t d) {
        p1.push_back(a);
        p2.push_back(b);
        dense.push_back(d);
    }
};

// key_positions of every key under the seeds, on the worker pool; m must not
// exceed kMaxNodes.
void hash_edges(const KeySource& keys, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t m, EdgeEnds& out);

struct GraphEntry {
    uint32_t other;  // the other endpoint
    uint32_t edge;   // index of the pair
};

// Two edges on the same unordered pair of cells (or two self-loops on one cell).
struct Duplicate {
    uint32_t earlier;
    uint32_t later;
};

struct PeeledEdge {
    uint32_t t;     // the cell the edge owns
    uint32_t u;     // its other cell
    uint32_t edge;
};

struct PeelResult {
    std::vector<PeeledEdge> peeled;  // in peeling order; they are written last first
    uint64_t remaining;              // edges left in the core, self-loops included
};

struct CoreEdge {
    uint32_t u;
    uint32_t v;  // equal to u for a self-loop
    uint32_t edge;
};

class HashingGraph {
public:
    uint64_t node_count() const { return degree_.size(); }
    uint64_t edge_count() const { return edge_count_; }
    // Self-loops do not count.
    uint32_t degree(uint64_t node) const { return degree_[node]; }
    std::span<const GraphEntry> entries(uint64_t node) const {
        return {entries_.data() + offset_[node], degree_[node]};
    }
    // kNoEdge when the node carries no self-loop.
    uint32_t self_loop(uint64_t node) const { return self_loop_[node]; }

private:
    friend std::variant<HashingGraph, Duplicate> build_graph(const EdgeEnds&, uint64_t);
    friend PeelResult peel(HashingGraph&);
    friend std::vector<CoreEdge> take_core_edges(HashingGraph&);

    void remove_entry(uint32_t node, uint32_t other);

    std::vector<uint32_t> offset_;      // start of each node's slice
    std::vector<uint32_t> degree_;      // used length of each slice
    std::vector<GraphEntry> entries_;
    std::vector<uint32_t> self_loop_;   // edge index or kNoEdge
    uint64_t edge_count_ = 0;
};

// Inserts the edges in order; stops at the first duplicate.
std::variant<HashingGraph, Duplicate> build_graph(const EdgeEnds& edges, uint64_t m);

// Removes every edge that owns a cell of degree one, scanning the nodes upwards
// and following each chain; nodes with a self-loop are never peeled.
PeelResult peel(HashingGraph& graph);

// Empties the graph, giving its edges in the order elimination takes them.
std::vector<CoreEdge> take_core_edges(HashingGraph& graph);

}  // namespace kestrova::okvs
