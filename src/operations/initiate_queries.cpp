#include <algorithm>

#include "ct/wipe.h"
#include "curve/batch.h"
#include "group/point.h"
#include "group/scalar.h"
#include "keys/keys.h"
#include "okvs/paxos.h"
#include "okvs/store_bytes.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "point_conversion/elligator_batch.h"
#include "random/generator.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {
namespace {

using wide_ciphertexts::kCiphertextBytes;
using group::kPointBytes;
using okvs::kCellBytes;

// A lookup is a hash and three cell reads: cheap, so many to a task.
constexpr size_t kGrainPerLookup = 1024;
// Keys whose cells are in flight at once: about the misses a core keeps outstanding.
constexpr size_t kLookupRun = 16;

// Up to kBlock transactions: each one's two cells (looked up here or before),
// then the decoding, multiplications and compressions of the whole block through the batch kernels.
class QueryBlock {
public:
    explicit QueryBlock(const group::Point& central_pk) : central_pk_(central_pk) {}
    ~QueryBlock() {
        ct::wipe(scalars_, sizeof scalars_);
        ct::wipe(z_, sizeof z_);
    }
    QueryBlock(const QueryBlock&) = delete;
    QueryBlock& operator=(const QueryBlock&) = delete;

    // Both cells, then one fresh z for the transaction; the cells are decoded at flush.
    void add(const uint8_t* sender_cell, const uint8_t* receiver_cell, random::Generator& rng) {
        const size_t j = count_++;
        std::copy_n(sender_cell, kCellBytes, cells_ + 2 * kCellBytes * j);
        std::copy_n(receiver_cell, kCellBytes, cells_ + 2 * kCellBytes * j + kCellBytes);
        z_[j] = group::random_scalar(rng);
    }

    // Writes sender, receiver, gamma = z·B, delta per transaction, one record each.
    void flush(uint8_t* out) {
        const size_t m = count_;
        group::Point products[2 * kBlock], deltas[kBlock], gammas[kBlock], ordered[4 * kBlock];
        // Per transaction p1, p2 (sender cell), q1, q2 (receiver cell).
        point_conversion::representatives_to_points(cells_, ordered, 4 * m);
        for (size_t j = 0; j < m; ++j) {
            const group::Point* pq = ordered + 4 * j;
            pairs_[2 * j] = pq[0];
            pairs_[2 * j + 1] = pq[2];
            sums_[j] = group::add(pq[1], pq[3]);
            scalars_[2 * j] = scalars_[2 * j + 1] = z_[j];
        }
        // An absent row decodes to points of the full group, and their small-order
        // parts would survive into the ciphertext for every bank to see; times 8
        // they are gone, and the matching relation holds as before (all three
        // row-derived bases carry the same factor). The kernels clear them in the lanes.
        curve::mul_cleared_each({pairs_, 2 * m}, group::identity(), {scalars_, 2 * m}, {products, 2 * m});
        curve::mul_cleared_each({sums_, m}, central_pk_, {z_, m}, {deltas, m});
        curve::mul_base_each({z_, m}, {gammas, m});
        for (size_t j = 0; j < m; ++j) {
            ordered[4 * j] = products[2 * j];
            ordered[4 * j + 1] = products[2 * j + 1];
            ordered[4 * j + 2] = gammas[j];
            ordered[4 * j + 3] = deltas[j];
        }
        curve::compress_all({ordered, 4 * m}, {out, 4 * m * kPointBytes});
        count_ = 0;
    }

private:
    const group::Point& central_pk_;
    size_t count_ = 0;
    // Both cells of each transaction, read as one run of representatives.
    uint8_t cells_[2 * kCellBytes * kBlock];
    group::Point pairs_[2 * kBlock];
    group::Point sums_[kBlock];
    group::Scalar scalars_[2 * kBlock];
    group::Scalar z_[kBlock];
};

class RowKeys : public KeySource {
public:
    explicit RowKeys(const StringRows& rows) : rows_(rows) {}
    size_t size() const override { return rows_.size(); }
    std::string_view key(size_t i, std::string& scratch) const override {
        scratch = okvs::key_bytes(rows_[i]);
        return scratch;
    }

private:
    const StringRows& rows_;
};

}  // namespace

Bytes initiate_queries(const StringRows& sender_data, const StringRows& receiver_data, Bytes sender_okvs,
                       Bytes receiver_okvs, const Bytes& central_pk) {
    // Parsed, each store is held twice (the caller's list and the cells), not three times.
    const okvs::PaxosStore sender_store = okvs::store_from_bytes(sender_okvs);
    Bytes().swap(sender_okvs);
    const okvs::PaxosStore receiver_store = okvs::store_from_bytes(receiver_okvs);
    Bytes().swap(receiver_okvs);
    const RowKeys sender(sender_data), receiver(receiver_data);
    Bytes out(std::min(sender.size(), receiver.size()) * kCiphertextBytes);
    queries_into(okvs::view_of(sender_store), okvs::view_of(receiver_store), sender, receiver, central_pk, out);
    return out;
}

void queries_into(const okvs::StoreView& sender_store, const okvs::StoreView& receiver_store, const KeySource& sender,
                  const KeySource& receiver, In central_pk, Out out) {
    const group::Point central_point = keys::decode_public_key(central_pk);
    const size_t n = std::min(sender.size(), receiver.size());
    require_output(out, n * kCiphertextBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        random::Generator& rng = random::thread_generator();
        QueryBlock block(central_point);
        std::string sender_scratch, receiver_scratch;
        for_each_block(begin, end, [&](size_t first, size_t m) {
            for (size_t i = first; i < first + m; ++i) {
                const okvs::Cell c_s = okvs::paxos_decode(sender_store, sender.key(i, sender_scratch));
                const okvs::Cell c_r = okvs::paxos_decode(receiver_store, receiver.key(i, receiver_scratch));
                block.add(c_s.data(), c_r.data(), rng);
            }
            block.flush(out.data() + kCiphertextBytes * first);
        });
    });
}

void lookups_into(const okvs::StoreView& store, const KeySource& keys, Out out) {
    const size_t n = keys.size();
    require_output(out, n * kCellBytes);
    worker_pool::parallel_for(n, kGrainPerLookup, [&](size_t begin, size_t end) {
        // Every key of a run fetched before any is decoded: the cache misses of a store
        // of gigabytes overlap instead of following one another.
        std::string scratch;
        okvs::SparsePair fetched[kLookupRun];
        for (size_t first = begin; first < end; first += kLookupRun) {
            const size_t m = std::min(kLookupRun, end - first);
            for (size_t j = 0; j < m; ++j) fetched[j] = okvs::paxos_fetch(store, keys.key(first + j, scratch));
            for (size_t j = 0; j < m; ++j) {
                const okvs::Cell c = okvs::paxos_decode_fetched(store, keys.key(first + j, scratch), fetched[j]);
                std::copy_n(c.data(), kCellBytes, out.data() + kCellBytes * (first + j));
            }
        }
    });
}

void queries_from_cells_into(In sender_cells, In receiver_cells, In central_pk, Out out) {
    const group::Point central_point = keys::decode_public_key(central_pk);
    const size_t n = std::min(sender_cells.size(), receiver_cells.size()) / kCellBytes;
    require_output(out, n * kCiphertextBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        random::Generator& rng = random::thread_generator();
        QueryBlock block(central_point);
        for_each_block(begin, end, [&](size_t first, size_t m) {
            for (size_t i = first; i < first + m; ++i)
                block.add(sender_cells.data() + kCellBytes * i, receiver_cells.data() + kCellBytes * i, rng);
            block.flush(out.data() + kCiphertextBytes * first);
        });
    });
}

}  // namespace kestrova::operations
