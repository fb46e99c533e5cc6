#include "okvs/encoder.h"

#include <sys/mman.h>

#include <algorithm>
#include <optional>
#include <variant>

#include "okvs/elimination.h"
#include "panic/panic.h"
#include "worker_pool/pool.h"

namespace kestrova::okvs {
namespace {

constexpr std::size_t kHashGrain = std::size_t(1) << 12;
constexpr std::size_t kDenseGrain = std::size_t(1) << 11;

// The cells are written in scattered order; large pages spare most TLB misses.
void advise_huge_pages(void* data, std::size_t bytes) {
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

[[noreturn]] void equal_keys_panic() {
    kestrova::panic(
        "two rows have the same key bytes (rows whose strings concatenate to the same text "
        "are the same key); every row must be distinct");
}

void step(StepHook between_steps) {
    if (between_steps) between_steps();
}

// An accepted attempt before its cells exist: the peeled edges and the core's
// cells already solved.
struct Solved {
    std::vector<PeeledEdge> peeled;
    CoreSolution core;
};

AttemptOutcome solve_attempt(const EdgeEnds& edges, ValueSource& values, uint64_t m,
                             kestrova::random::Generator& gen, Solved& out, Duplicate* duplicate,
                             std::vector<uint32_t>* core_pairs, StepHook between_steps) {
    std::vector<EquationRow> rows;
    {
        // The graph is dropped before the store's cells are allocated.
        auto built = build_graph(edges, m);
        if (auto* dup = std::get_if<Duplicate>(&built)) {
            if (duplicate) *duplicate = *dup;
            return AttemptOutcome::duplicate;
        }
        HashingGraph& graph = std::get<HashingGraph>(built);
        PeelResult peel_result = peel(graph);
        if (peel_result.remaining > kMaxCoreEdges) return AttemptOutcome::large_core;
        step(between_steps);
        out.peeled = std::move(peel_result.peeled);
        std::vector<CoreEdge> core = take_core_edges(graph);
        // The core's equations over its own edges, numbered in core order.
        std::vector<uint32_t> ids(core.size());
        EdgeEnds core_ends;
        for (std::size_t i = 0; i < core.size(); ++i) {
            const uint32_t e = core[i].edge;
            ids[i] = e;
            core_ends.push_back(edges.p1[e], edges.p2[e], edges.dense[e]);
            core[i].edge = uint32_t(i);
        }
        std::vector<Cell> core_values(core.size());
        values.fill(ids, core_values.data());
        rows = core_rows(core, core_ends, core_values, m);
        if (core_pairs) *core_pairs = std::move(ids);
    }
    std::optional<CoreSolution> solution = solve_core(std::move(rows), m, gen);
    if (!solution) return AttemptOutcome::dependent_core;
    out.core = std::move(*solution);
    step(between_steps);
    return AttemptOutcome::accepted;
}

// Puts the core's solved cells in place (marking sparse ones present) and
// draws every dense cell the core left free.
void place_core(const CoreSolution& solution, uint64_t m, Cell* sparse, uint8_t* present,
                std::array<Cell, kDenseCells>& dense, kestrova::random::Generator& gen) {
    std::array<bool, kDenseCells> dense_present{};
    for (const SolvedCell& s : solution) {
        if (s.column < m) {
            sparse[s.column] = s.cell;
            present[s.column] = 1;
        } else {
            dense[s.column - m] = s.cell;
            dense_present[s.column - m] = true;
        }
    }
    for (std::size_t j = 0; j < kDenseCells; ++j) {
        if (!dense_present[j]) dense[j] = random_cell(gen);
    }
}

// Peeled edges are written last first; each owns its cell t, and its other
// cell u is set by then or drawn now.
void fill_cells(const Solved& solved, const std::vector<uint64_t>& dense_masks, ValueSource& values, uint64_t m,
                kestrova::random::Generator& gen, PaxosStore& store, StepHook between_steps) {
    store.sparse.clear();
    store.sparse.reserve(m);
    advise_huge_pages(store.sparse.data(), m * kCellBytes);
    store.sparse.resize(m);
    Cell* sparse = store.sparse.data();
    std::vector<uint8_t> present(m, 0);
    place_core(solved.core, m, sparse, present.data(), store.dense, gen);
    step(between_steps);

    const std::vector<PeeledEdge>& peeled = solved.peeled;
    const std::size_t chunk = std::min(kValueChunk, peeled.size());
    std::vector<uint32_t> ids(chunk);
    std::vector<Cell> chunk_values(chunk);
    // Edges come in cell order, so their cells are scattered in memory: fetch a few edges ahead.
    constexpr std::size_t ahead = 8;
    for (std::size_t left = peeled.size(); left > 0;) {
        step(between_steps);
        const std::size_t count = std::min(chunk, left);
        for (std::size_t j = 0; j < count; ++j) ids[j] = peeled[left - 1 - j].edge;
        values.fill(std::span<const uint32_t>(ids.data(), count), chunk_values.data());
        // A value's share of the dense cells depends on no other edge: it is most of the work per edge,
        // so it runs on the pool and the walk below, which must go in order, keeps only the sparse cells.
        worker_pool::parallel_for(count, kDenseGrain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j)
                xor_dense_selection(chunk_values[j], store.dense.data(), dense_masks[ids[j]]);
        });
        for (std::size_t j = 0; j < count; ++j) {
            if (j + ahead < count) {
                const PeeledEdge& next = peeled[left - 1 - j - ahead];
                __builtin_prefetch(sparse[next.u].data());
                __builtin_prefetch(sparse[next.t].data(), 1);
                __builtin_prefetch(&present[next.u]);
            }
            const PeeledEdge& e = peeled[left - 1 - j];
            Cell v = chunk_values[j];
            if (!present[e.u]) {
                sparse[e.u] = random_cell(gen);
                present[e.u] = 1;
            }
            xor_into(v, sparse[e.u]);
            sparse[e.t] = v;
            present[e.t] = 1;
        }
        left -= count;
    }
    for (uint64_t c = 0; c < m; ++c) {
        if (!present[c]) sparse[c] = random_cell(gen);
    }
}

}  // namespace

void CellValues::fill(std::span<const uint32_t> rows, Cell* out) {
    constexpr std::size_t ahead = 8;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        if (k + ahead < rows.size()) {
            const uint8_t* next = values_[rows[k + ahead]].data();
            __builtin_prefetch(next);
            __builtin_prefetch(next + kCellBytes - 1);
        }
        out[k] = values_[rows[k]];
    }
}

std::vector<uint32_t> find_equal_keys(const KeySource& keys, EqualKeys mode) {
    const std::size_t n = keys.size();
    if (n > UINT32_MAX) kestrova::panic("too many keys: " + std::to_string(n));
    std::vector<std::pair<uint64_t, uint32_t>> hashed(n);
    auto hash = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hashed[i] = {key_hash(keys.key(i), 0), uint32_t(i)};
    };
    // A refusal comes before any work on the pool (which an interrupt may end); dropping serves the
    // tools' large builds, which hash on every core.
    if (mode == EqualKeys::refuse)
        hash(0, n);
    else
        worker_pool::parallel_for(n, kHashGrain, hash);
    std::sort(hashed.begin(), hashed.end());
    std::vector<uint32_t> later;
    std::vector<uint8_t> dropped(n, 0);
    // Equal keys have equal hashes; within a run of equal hashes (in index
    // order) the later of two equal keys is the one reported.
    for (std::size_t run = 0; run < n;) {
        std::size_t next = run + 1;
        while (next < n && hashed[next].first == hashed[run].first) ++next;
        for (std::size_t a = run; a + 1 < next; ++a) {
            if (dropped[hashed[a].second]) continue;
            for (std::size_t b = a + 1; b < next; ++b) {
                if (!dropped[hashed[b].second] && keys.key(hashed[a].second) == keys.key(hashed[b].second)) {
                    if (mode == EqualKeys::refuse) equal_keys_panic();
                    dropped[hashed[b].second] = 1;
                    later.push_back(hashed[b].second);
                }
            }
        }
        run = next;
    }
    std::sort(later.begin(), later.end());
    return later;
}

void refuse_equal_keys(std::span<const std::string> keys) { find_equal_keys(KeyStrings(keys), EqualKeys::refuse); }

AttemptOutcome encode_attempt(const EdgeEnds& edges, ValueSource& values, uint64_t m,
                              kestrova::random::Generator& gen, PaxosStore& store, Duplicate* duplicate,
                              std::vector<uint32_t>* core_pairs, StepHook between_steps) {
    Solved solved;
    const AttemptOutcome outcome =
        solve_attempt(edges, values, m, gen, solved, duplicate, core_pairs, between_steps);
    if (outcome == AttemptOutcome::accepted) fill_cells(solved, edges.dense, values, m, gen, store, between_steps);
    return outcome;
}

PaxosStore encode(KeySource& keys, ValueSource& values, kestrova::random::Generator& gen,
                  EncodeStats* stats, StepHook between_steps) {
    const uint64_t m = sparse_cell_count(keys.size());
    if (m > kMaxNodes) kestrova::panic("a store holds at most " + std::to_string(kMaxNodes) + " sparse cells");

    PaxosStore store;
    EdgeEnds edges;
    Solved solved;
    std::vector<uint32_t> core_pairs;
    for (bool accepted = false; !accepted;) {
        store.s0 = gen.next_u64();
        store.s1 = gen.next_u64();
        store.s2 = gen.next_u64();
        if (stats) ++stats->attempts;
        hash_edges(keys, store.s0, store.s1, store.s2, m, edges);
        step(between_steps);
        Duplicate dup{};
        switch (solve_attempt(edges, values, m, gen, solved, &dup, stats ? &core_pairs : nullptr, between_steps)) {
            case AttemptOutcome::accepted:
                accepted = true;
                break;
            case AttemptOutcome::duplicate:
                // Equal keys collide under every seed; anything else was chance.
                if (keys.key(dup.earlier) == keys.key(dup.later)) equal_keys_panic();
                if (stats) ++stats->duplicates;
                break;
            case AttemptOutcome::large_core:
                if (stats) ++stats->large_cores;
                break;
            case AttemptOutcome::dependent_core:
                if (stats) ++stats->dependent_cores;
                break;
        }
    }
    if (stats) stats->core_pairs = std::move(core_pairs);
    // The fill reads only the dense masks; the keys' owner may free them now.
    std::vector<uint32_t>().swap(edges.p1);
    std::vector<uint32_t>().swap(edges.p2);
    keys.keys_done();
    fill_cells(solved, edges.dense, values, m, gen, store, between_steps);
    return store;
}

PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values,
                        kestrova::random::Generator& gen, EncodeStats* stats, StepHook between_steps) {
    if (keys.size() != values.size()) kestrova::panic(kestrova::length_mismatch_message(values.size(), keys.size()));
    KeyStrings key_source(keys);
    CellValues value_source(values);
    return encode(key_source, value_source, gen, stats, between_steps);
}

PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values) {
    return paxos_encode(keys, values, kestrova::random::thread_generator());
}

PaxosStore paxos_encode(const std::vector<std::pair<Row, Cell>>& pairs) {
    std::vector<std::string> keys;
    std::vector<Cell> values;
    keys.reserve(pairs.size());
    values.reserve(pairs.size());
    for (const auto& [row, value] : pairs) {
        keys.push_back(key_bytes(row));
        values.push_back(value);
    }
    return paxos_encode(keys, values);
}

}  // namespace kestrova::okvs
