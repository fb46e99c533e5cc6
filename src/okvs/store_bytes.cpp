#include "okvs/store_bytes.h"

#include <cstring>
#include <string>

#include "panic/panic.h"

namespace kestrova::okvs {
namespace {

void put_u64(uint8_t* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = uint8_t(v >> (8 * i));
}

uint64_t get_u64(const uint8_t* in) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(in[i]) << (8 * i);
    return v;
}

}  // namespace

uint64_t store_byte_count(uint64_t rows) {
    const uint64_t m = sparse_cell_count(rows);
    // Saturated: a count read from a file must not wrap around to a plausible size.
    if (m > (UINT64_MAX - kMinStoreBytes) / kCellBytes) return UINT64_MAX;
    return kMinStoreBytes + kCellBytes * m;
}

void put_seeds(const PaxosStore& store, uint8_t out[kSeedBytes]) {
    put_u64(out, store.s0);
    put_u64(out + 8, store.s1);
    put_u64(out + 16, store.s2);
}

std::vector<uint8_t> store_to_bytes(const PaxosStore& store) {
    std::vector<uint8_t> out(kMinStoreBytes + kCellBytes * store.sparse.size());
    uint8_t* p = out.data();
    put_seeds(store, p);
    p += kSeedBytes;
    if (!store.sparse.empty()) std::memcpy(p, store.sparse.data(), kCellBytes * store.sparse.size());
    p += kCellBytes * store.sparse.size();
    std::memcpy(p, store.dense.data(), kDenseBytes);
    return out;
}

StoreView store_view_from_bytes(std::span<const uint8_t> bytes) {
    const std::size_t len = bytes.size();
    // The seeds are read one by one, then the dense tail is cut off; the messages
    // name the first slice that does not fit.
    for (std::size_t end : {std::size_t(8), std::size_t(16), std::size_t(24)}) {
        if (len < end) kestrova::panic(kestrova::range_end_message(end, len));
    }
    if (len < kDenseBytes) kestrova::panic(kestrova::range_end_message(len - kDenseBytes, len));  // wraps
    if (len < kMinStoreBytes) {
        kestrova::panic("slice index starts at " + std::to_string(kSeedBytes) + " but ends at " +
                        std::to_string(len - kDenseBytes));
    }
    StoreView view;
    view.s0 = get_u64(bytes.data());
    view.s1 = get_u64(bytes.data() + 8);
    view.s2 = get_u64(bytes.data() + 16);
    view.sparse = bytes.data() + kSeedBytes;
    view.m = (len - kMinStoreBytes) / kCellBytes;
    std::memcpy(view.dense.data(), bytes.data() + len - kDenseBytes, kDenseBytes);
    return view;
}

PaxosStore store_from_bytes(std::span<const uint8_t> bytes) {
    const StoreView view = store_view_from_bytes(bytes);
    PaxosStore store;
    store.s0 = view.s0;
    store.s1 = view.s1;
    store.s2 = view.s2;
    store.sparse.resize(view.m);
    if (view.m != 0) std::memcpy(store.sparse.data(), view.sparse, kCellBytes * view.m);
    store.dense = view.dense;
    return store;
}

}  // namespace kestrova::okvs
