#include "okvs/paxos.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <variant>

#include "okvs/elimination.h"
#include "panic/panic.h"

namespace kestrova::okvs {
namespace {

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

}  // namespace

void refuse_equal_keys(std::span<const std::string> keys) {
    std::vector<std::pair<uint64_t, std::size_t>> hashed(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) hashed[i] = {key_hash(keys[i], 0), i};
    std::sort(hashed.begin(), hashed.end());
    // Equal keys have equal hashes, so they end up next to each other or
    // among a run of equal hashes; any such run is compared in full.
    for (std::size_t run = 0; run < hashed.size();) {
        std::size_t next = run + 1;
        while (next < hashed.size() && hashed[next].first == hashed[run].first) ++next;
        for (std::size_t a = run; a + 1 < next; ++a)
            for (std::size_t b = a + 1; b < next; ++b)
                if (keys[hashed[a].second] == keys[hashed[b].second]) equal_keys_panic();
        run = next;
    }
}

uint64_t sparse_cell_count(uint64_t n) {
    const double m = std::ceil(double(n) * kExpansionFactor);
    if (!(m > 0.0)) return 0;
    if (m >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return uint64_t(m);
}

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

AttemptOutcome encode_attempt(const EdgeEnds& edges, std::span<const Cell> values, uint64_t m,
                              kestrova::random::Generator& gen, PaxosStore& store, Duplicate* duplicate,
                              std::vector<uint32_t>* core_pairs, StepHook between_steps) {
    const auto step = [&] {
        if (between_steps) between_steps();
    };
    std::vector<PeeledEdge> peeled;
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
        step();
        peeled = std::move(peel_result.peeled);
        const std::vector<CoreEdge> core = take_core_edges(graph);
        rows = core_rows(core, edges, values, m);
        if (core_pairs) {
            core_pairs->clear();
            for (const CoreEdge& e : core) core_pairs->push_back(e.edge);
        }
    }

    std::optional<CoreSolution> solution = solve_core(std::move(rows), m, gen);
    if (!solution) return AttemptOutcome::dependent_core;
    step();

    store.sparse.clear();
    store.sparse.reserve(m);
    advise_huge_pages(store.sparse.data(), m * kCellBytes);
    store.sparse.resize(m);
    std::vector<uint8_t> present(m, 0);
    place_core(*solution, m, store.sparse.data(), present.data(), store.dense, gen);
    step();
    // Edges come in cell order, so their values and cells are scattered in memory:
    // fetch a few edges ahead.
    constexpr std::size_t ahead = 8;
    for (std::size_t k = peeled.size(); k-- > 0;) {
        if (k % (1 << 16) == 0) step();
        if (k >= ahead) {
            const PeeledEdge& next = peeled[k - ahead];
            __builtin_prefetch(values[next.edge].data());
            __builtin_prefetch(values[next.edge].data() + kCellBytes - 1);
            __builtin_prefetch(&edges.dense[next.edge]);
            __builtin_prefetch(store.sparse[next.u].data());
            __builtin_prefetch(store.sparse[next.t].data(), 1);
            __builtin_prefetch(&present[next.u]);
        }
        const PeeledEdge* it = &peeled[k];
        Cell v = values[it->edge];
        xor_dense_selection(v, store.dense.data(), edges.dense[it->edge]);
        if (!present[it->u]) {
            store.sparse[it->u] = random_cell(gen);
            present[it->u] = 1;
        }
        xor_into(v, store.sparse[it->u]);
        store.sparse[it->t] = v;
        present[it->t] = 1;
    }
    for (uint64_t c = 0; c < m; ++c) {
        if (!present[c]) store.sparse[c] = random_cell(gen);
    }
    return AttemptOutcome::accepted;
}

PaxosStore paxos_encode(std::span<const std::string> keys, std::span<const Cell> values,
                        kestrova::random::Generator& gen, EncodeStats* stats, StepHook between_steps) {
    if (keys.size() != values.size()) kestrova::panic(kestrova::length_mismatch_message(values.size(), keys.size()));
    const uint64_t m = sparse_cell_count(keys.size());
    if (m > kMaxNodes) kestrova::panic("a store holds at most " + std::to_string(kMaxNodes) + " sparse cells");

    PaxosStore store;
    EdgeEnds edges;
    std::vector<uint32_t> core_pairs;
    for (;;) {
        store.s0 = gen.next_u64();
        store.s1 = gen.next_u64();
        store.s2 = gen.next_u64();
        if (stats) ++stats->attempts;
        hash_edges(keys, store.s0, store.s1, store.s2, m, edges);
        if (between_steps) between_steps();
        Duplicate dup{};
        switch (encode_attempt(edges, values, m, gen, store, &dup, stats ? &core_pairs : nullptr, between_steps)) {
            case AttemptOutcome::accepted:
                if (stats) stats->core_pairs = std::move(core_pairs);
                return store;
            case AttemptOutcome::duplicate:
                // Equal keys collide under every seed; anything else was chance.
                if (keys[dup.earlier] == keys[dup.later]) equal_keys_panic();
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

namespace {

Cell decode_at(uint64_t s0, uint64_t s1, uint64_t s2, const uint8_t* sparse, uint64_t m, const Cell* dense,
               std::string_view key) {
    Cell result{};
    const uint8_t* c1 = nullptr;
    const uint8_t* c2 = nullptr;
    if (m != 0) {
        c1 = sparse + kCellBytes * (key_hash(key, s0) % m);
        c2 = sparse + kCellBytes * (key_hash(key, s1) % m);
        // Start both cache misses before the dense work.
        // A cell may straddle two cache lines.
        __builtin_prefetch(c1);
        __builtin_prefetch(c1 + kCellBytes - 1);
        __builtin_prefetch(c2);
        __builtin_prefetch(c2 + kCellBytes - 1);
    }
    xor_dense_selection(result, dense, key_hash(key, s2));
    if (m != 0) {
        Cell cell;
        std::memcpy(cell.data(), c1, kCellBytes);
        xor_into(result, cell);
        std::memcpy(cell.data(), c2, kCellBytes);
        xor_into(result, cell);
    }
    return result;
}

}  // namespace

StoreView view_of(const PaxosStore& store) {
    return {store.s0, store.s1, store.s2, reinterpret_cast<const uint8_t*>(store.sparse.data()),
            store.sparse.size(), store.dense};
}

Cell paxos_decode(const PaxosStore& store, std::string_view key) {
    return decode_at(store.s0, store.s1, store.s2, reinterpret_cast<const uint8_t*>(store.sparse.data()),
                     store.sparse.size(), store.dense.data(), key);
}

Cell paxos_decode(const StoreView& store, std::string_view key) {
    return decode_at(store.s0, store.s1, store.s2, store.sparse, store.m, store.dense.data(), key);
}

SparsePair paxos_fetch(const StoreView& store, std::string_view key) {
    if (store.m == 0) return {};
    const SparsePair cells{store.sparse + kCellBytes * (key_hash(key, store.s0) % store.m),
                           store.sparse + kCellBytes * (key_hash(key, store.s1) % store.m)};
    __builtin_prefetch(cells.first);
    __builtin_prefetch(cells.first + kCellBytes - 1);
    __builtin_prefetch(cells.second);
    __builtin_prefetch(cells.second + kCellBytes - 1);
    return cells;
}

Cell paxos_decode_fetched(const StoreView& store, std::string_view key, SparsePair cells) {
    Cell result{};
    xor_dense_selection(result, store.dense.data(), key_hash(key, store.s2));
    if (store.m != 0) {
        Cell cell;
        std::memcpy(cell.data(), cells.first, kCellBytes);
        xor_into(result, cell);
        std::memcpy(cell.data(), cells.second, kCellBytes);
        xor_into(result, cell);
    }
    return result;
}

}  // namespace kestrova::okvs
