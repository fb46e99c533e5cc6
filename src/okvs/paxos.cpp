#include "okvs/paxos.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "panic/panic.h"

namespace kestrova::okvs {

uint64_t sparse_cell_count(uint64_t n) {
    const double m = std::ceil(double(n) * kExpansionFactor);
    if (!(m > 0.0)) return 0;
    if (m >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return uint64_t(m);
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
