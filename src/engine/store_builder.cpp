#include "engine/store_builder.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <variant>

#include "ct/choice.h"
#include "curve/multiply.h"
#include "engine/memory.h"
#include "keys/keys.h"
#include "okvs/elimination.h"
#include "okvs/graph.h"
#include "okvs/paxos.h"
#include "okvs/store_bytes.h"
#include "operations/row_values.h"
#include "panic/panic.h"
#include "random/generator.h"
#include "worker_pool/pool.h"

namespace kestrova::engine {
namespace {

constexpr size_t kBlockBytes = size_t(64) << 20;
constexpr size_t kFirstBlockBytes = size_t(1) << 20;
// Row values encrypted per round of the fill: large enough to keep both
// workers busy, small enough to stay in cache-sized memory.
constexpr size_t kValueChunk = size_t(1) << 15;
constexpr size_t kHashGrain = size_t(1) << 12;

using okvs::Cell;

// Fresh encryptions of the neutral element: every row's value is one, so the
// values need not belong to particular rows until they are placed.
void encrypt_values(const curve::FixedBaseTable& table, Cell* out, size_t n) {
    worker_pool::parallel_for(n, 1, [&](size_t begin, size_t end) {
        operations::encrypt_row_values(table, out + begin, end - begin, random::thread_generator());
    });
}

void write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, std::min(size, size_t(1) << 30));
        if (done < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "writing the store");
        }
        data += done;
        size -= size_t(done);
    }
}

// The cells are written in scattered order; large pages spare most TLB misses.
Cell* allocate_cells(uint64_t m) {
    if (m == 0) return nullptr;
    void* p = mmap(nullptr, m * sizeof(Cell), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, m * sizeof(Cell), MADV_HUGEPAGE);
    return static_cast<Cell*>(p);
}

struct Cells {
    Cell* data;
    uint64_t m;
    explicit Cells(uint64_t count) : data(allocate_cells(count)), m(count) {}
    ~Cells() {
        if (data) munmap(data, m * sizeof(Cell));
    }
    Cells(const Cells&) = delete;
    Cells& operator=(const Cells&) = delete;
};

// One attempt's outcome when it is accepted: the peeled edges, and the core's
// cells already solved.
struct Solved {
    std::vector<okvs::PeeledEdge> peeled;
    okvs::CoreSolution core;
    uint64_t core_edges;
};

std::optional<Solved> solve(const okvs::EdgeEnds& edges, uint64_t m, const curve::FixedBaseTable& table,
                            random::Generator& gen) {
    Solved out;
    std::vector<okvs::EquationRow> rows;
    {
        auto built = okvs::build_graph(edges, m);
        // The keys are distinct, so a repeated pair of cells is chance: new seeds.
        if (std::holds_alternative<okvs::Duplicate>(built)) return std::nullopt;
        okvs::HashingGraph& graph = std::get<okvs::HashingGraph>(built);
        okvs::PeelResult peeled = okvs::peel(graph);
        if (peeled.remaining > okvs::kMaxCoreEdges) return std::nullopt;
        out.peeled = std::move(peeled.peeled);
        std::vector<okvs::CoreEdge> core = okvs::take_core_edges(graph);
        // The core's equations over its own edges, numbered 0.. in core order.
        okvs::EdgeEnds core_ends;
        for (size_t i = 0; i < core.size(); ++i) {
            const uint32_t e = core[i].edge;
            core_ends.push_back(edges.p1[e], edges.p2[e], edges.dense[e]);
            core[i].edge = uint32_t(i);
        }
        std::vector<Cell> values(core.size());
        encrypt_values(table, values.data(), values.size());
        rows = okvs::core_rows(core, core_ends, values, m);
        out.core_edges = core.size();
    }
    std::optional<okvs::CoreSolution> solution = okvs::solve_core(std::move(rows), m, gen);
    if (!solution) return std::nullopt;
    out.core = std::move(*solution);
    return out;
}

// available: UINT64_MAX when an allocation failed (a limit of this process, not of the machine).
std::string needs_message(uint64_t rows, uint64_t need, uint64_t available) {
    return "building a store of " + grouped(rows) + " rows needs about " + gib(need) + " of memory, " +
           (available == UINT64_MAX ? std::string("more than this process could get")
                                    : "and only " + gib(available) + " is available");
}

}  // namespace

StoreBuilder::StoreBuilder(std::span<const uint8_t> public_key, uint64_t expected_rows)
    : pk_(keys::decode_public_key(public_key)) {
    where_.reserve(expected_rows);
}

std::string_view StoreBuilder::key(size_t i) const {
    const uint8_t* p = blocks_[where_[i] >> 32].get() + (where_[i] & 0xffffffffu);
    uint32_t size;
    std::memcpy(&size, p, 4);
    return {reinterpret_cast<const char*>(p + 4), size};
}

void StoreBuilder::add(const KeyColumn& keys) {
    if (written_) throw BadInput("the store is written already");
    try {
        for (size_t i = 0; i < keys.size(); ++i) {
            const std::string_view k = keys.at(i);
            if (k.size() > UINT32_MAX - 4) throw BadInput("a key longer than 4 GiB");
            const size_t need = 4 + k.size();
            if (blocks_.empty() || block_size_ - block_used_ < need) {
                // Doubling up to kBlockBytes: a small table takes little.
                block_size_ = std::max(std::min(kBlockBytes, kFirstBlockBytes << blocks_.size()), need);
                blocks_.emplace_back(new uint8_t[block_size_]);
                block_used_ = 0;
            }
            uint8_t* p = blocks_.back().get() + block_used_;
            const uint32_t size = uint32_t(k.size());
            std::memcpy(p, &size, 4);
            std::memcpy(p + 4, k.data(), k.size());
            where_.push_back((uint64_t(blocks_.size() - 1) << 32) | block_used_);
            block_used_ += need;
            key_bytes_ += k.size();
        }
    } catch (const std::bad_alloc&) {
        throw NeedsMemory("the keys of the first " + grouped(where_.size()) + " rows took all the memory this "
                          "process could get; " +
                          needs_message(where_.size(), peak_bytes(where_.size(), key_bytes_), UINT64_MAX));
    }
}

uint64_t StoreBuilder::store_bytes(uint64_t rows) {
    return okvs::kMinStoreBytes + okvs::kCellBytes * okvs::sparse_cell_count(rows);
}

uint64_t StoreBuilder::peak_bytes(uint64_t rows, uint64_t key_bytes) {
    const uint64_t m = okvs::sparse_cell_count(rows);
    // Keys and their places, then edges, graph and peeling order while solving;
    // edge masks, peeling order, cells and their marks while filling.
    const uint64_t solving = key_bytes + 12 * rows + 16 * rows + 12 * m + 16 * rows + 12 * rows;
    const uint64_t filling = 20 * rows + (okvs::kCellBytes + 1) * m + kValueChunk * okvs::kCellBytes;
    return std::max(solving, filling);
}

uint64_t StoreBuilder::held_bytes() const {
    return key_bytes_ + 4 * where_.size() + where_.capacity() * sizeof(uint64_t);
}

void StoreBuilder::release_keys() {
    std::vector<std::unique_ptr<uint8_t[]>>().swap(blocks_);
    std::vector<uint64_t>().swap(where_);
}

uint64_t StoreBuilder::drop_duplicates() {
    const size_t n = where_.size();
    std::vector<std::pair<uint64_t, uint32_t>> hashed(n);
    worker_pool::parallel_for(n, kHashGrain, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) hashed[i] = {okvs::key_hash(key(i), 0), uint32_t(i)};
    });
    std::sort(hashed.begin(), hashed.end());
    std::vector<uint8_t> drop(n, 0);
    uint64_t dropped = 0;
    // Equal keys have equal hashes; within a run of equal hashes the later of
    // two equal keys goes (the run is in index order).
    for (size_t run = 0; run < n;) {
        size_t next = run + 1;
        while (next < n && hashed[next].first == hashed[run].first) ++next;
        for (size_t a = run; a + 1 < next; ++a) {
            if (drop[hashed[a].second]) continue;
            for (size_t b = a + 1; b < next; ++b)
                if (!drop[hashed[b].second] && key(hashed[a].second) == key(hashed[b].second)) {
                    drop[hashed[b].second] = 1;
                    ++dropped;
                }
        }
        run = next;
    }
    if (dropped != 0) {
        size_t kept = 0;
        for (size_t i = 0; i < n; ++i)
            if (!drop[i]) where_[kept++] = where_[i];
        where_.resize(kept);
    }
    return dropped;
}

BuildResult StoreBuilder::write(int fd, Progress& progress) {
    if (written_) throw BadInput("the store is written already");
    written_ = true;
    const uint64_t rows_given = where_.size();
    if (where_.size() > UINT32_MAX / 2) throw BadInput("a store holds at most 2^31 - 1 rows");
    const uint64_t need = peak_bytes(where_.size(), key_bytes_);
    const uint64_t available = available_memory();
    const uint64_t held = held_bytes();
    if (need > held && need - held > available) throw NeedsMemory(needs_message(where_.size(), need, available));
    try {
        BuildResult result{};
        if (!where_.empty() && ct::to_bool_vartime(group::is_small_order(pk_, 2)))
            throw BadInput("The public key has order 1 or 2 (the neutral element or (0, -1)), so no row can be "
                           "encrypted under it.");
        result.duplicates = drop_duplicates();
        const uint64_t n = where_.size();
        result.rows = n;
        const uint64_t m = okvs::sparse_cell_count(n);
        if (m > okvs::kMaxNodes) throw BadInput("a store holds at most " + std::to_string(okvs::kMaxNodes) + " cells");
        progress.report(Phase::hashed, n, n);

        random::Generator& gen = random::thread_generator();
        const curve::FixedBaseTable table(pk_);
        okvs::PaxosStore seeds;
        okvs::EdgeEnds edges;
        std::optional<Solved> solved;
        while (!solved) {
            worker_pool::check_interrupt();
            ++result.attempts;
            seeds.s0 = gen.next_u64();
            seeds.s1 = gen.next_u64();
            seeds.s2 = gen.next_u64();
            edges.p1.resize(n);
            edges.p2.resize(n);
            edges.dense.resize(n);
            worker_pool::parallel_for(n, kHashGrain, [&](size_t begin, size_t end) {
                for (size_t i = begin; i < end; ++i) {
                    const okvs::KeyPositions pos = okvs::key_positions(key(i), seeds.s0, seeds.s1, seeds.s2, m);
                    edges.p1[i] = uint32_t(pos.p1);
                    edges.p2[i] = uint32_t(pos.p2);
                    edges.dense[i] = pos.dense;
                }
            });
            worker_pool::check_interrupt();
            solved = solve(edges, m, table, gen);
        }
        release_keys();
        std::vector<uint32_t>().swap(edges.p1);
        std::vector<uint32_t>().swap(edges.p2);
        // What the solve freed goes back now, not after the cells are filled beside it.
        malloc_trim(0);
        progress.report(Phase::solved, n, n);

        Cells sparse(m);
        std::vector<uint8_t> present(m, 0);
        okvs::place_core(solved->core, m, sparse.data, present.data(), seeds.dense, gen);

        // Peeled edges are written last first; value k of the fill goes to the k-th written.
        const std::vector<okvs::PeeledEdge>& peeled = solved->peeled;
        std::vector<Cell> values(std::min<size_t>(kValueChunk, peeled.size()));
        uint64_t encrypted = solved->core_edges;
        progress.report(Phase::encrypted, encrypted, n);
        for (size_t left = peeled.size(); left > 0;) {
            const size_t count = std::min(values.size(), left);
            encrypt_values(table, values.data(), count);
            for (size_t j = 0; j < count; ++j) {
                const okvs::PeeledEdge& e = peeled[left - 1 - j];
                if (j + 8 < count) {
                    const okvs::PeeledEdge& ahead = peeled[left - 1 - j - 8];
                    __builtin_prefetch(sparse.data[ahead.u].data());
                    __builtin_prefetch(sparse.data[ahead.t].data(), 1);
                    __builtin_prefetch(&present[ahead.u]);
                }
                Cell v = values[j];
                okvs::xor_dense_selection(v, seeds.dense.data(), edges.dense[e.edge]);
                if (!present[e.u]) {
                    sparse.data[e.u] = okvs::random_cell(gen);
                    present[e.u] = 1;
                }
                okvs::xor_into(v, sparse.data[e.u]);
                sparse.data[e.t] = v;
                present[e.t] = 1;
            }
            left -= count;
            encrypted += count;
            progress.report(Phase::encrypted, encrypted, n);
        }
        for (uint64_t c = 0; c < m; ++c)
            if (!present[c]) sparse.data[c] = okvs::random_cell(gen);

        uint8_t head[okvs::kSeedBytes];
        okvs::put_seeds(seeds, head);
        write_all(fd, head, sizeof head);
        write_all(fd, reinterpret_cast<const uint8_t*>(sparse.data), m * okvs::kCellBytes);
        write_all(fd, reinterpret_cast<const uint8_t*>(seeds.dense.data()), okvs::kDenseBytes);
        result.bytes = store_bytes(n);
        return result;
    } catch (const std::bad_alloc&) {
        release_keys();
        throw NeedsMemory(needs_message(rows_given, need, UINT64_MAX));
    }
}

}  // namespace kestrova::engine
