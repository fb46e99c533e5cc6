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

// Up to kBlock transactions: lookups per transaction, then the decoding,
// multiplications and compressions of the whole block through the batch kernels.
class QueryBlock {
public:
    QueryBlock(const okvs::StoreView& sender_store, const okvs::StoreView& receiver_store,
               const group::Point& central_pk)
        : sender_store_(sender_store), receiver_store_(receiver_store), central_pk_(central_pk) {}
    ~QueryBlock() {
        ct::wipe(scalars_, sizeof scalars_);
        ct::wipe(z_, sizeof z_);
    }
    QueryBlock(const QueryBlock&) = delete;
    QueryBlock& operator=(const QueryBlock&) = delete;

    // Both lookups, then one fresh z for the transaction; the cells are decoded at flush.
    void add(std::string_view sender_key, std::string_view receiver_key, random::Generator& rng) {
        const size_t j = count_++;
        const okvs::Cell c_s = okvs::paxos_decode(sender_store_, sender_key);
        const okvs::Cell c_r = okvs::paxos_decode(receiver_store_, receiver_key);
        std::copy_n(c_s.data(), kCellBytes, cells_ + 2 * kCellBytes * j);
        std::copy_n(c_r.data(), kCellBytes, cells_ + 2 * kCellBytes * j + kCellBytes);
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
    const okvs::StoreView& sender_store_;
    const okvs::StoreView& receiver_store_;
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
        QueryBlock block(sender_store, receiver_store, central_point);
        std::string sender_scratch, receiver_scratch;
        for_each_block(begin, end, [&](size_t first, size_t m) {
            for (size_t i = first; i < first + m; ++i)
                block.add(sender.key(i, sender_scratch), receiver.key(i, receiver_scratch), rng);
            block.flush(out.data() + kCiphertextBytes * first);
        });
    });
}

}  // namespace kestrova::operations
