#include "keys/keys.h"
#include "keys/multiply.h"
#include "okvs/paxos.h"
#include "okvs/store_bytes.h"
#include "operations/chunks.h"
#include "operations/operations.h"
#include "point_conversion/elligator.h"
#include "random/generator.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {
namespace {

using wide_ciphertexts::kCiphertextBytes;
using wide_ciphertexts::kPointBytes;

// One transaction: both lookups, then one wide ciphertext under a fresh scalar z.
void build_query(const okvs::PaxosStore& sender_store, const okvs::PaxosStore& receiver_store,
                 const keys::Point& swift_pk, const Row& sender_row, const Row& receiver_row,
                 random::Generator& rng, uint8_t out[kCiphertextBytes]) {
    const okvs::Cell c_s = okvs::paxos_decode(sender_store, okvs::key_bytes(sender_row));
    const okvs::Cell c_r = okvs::paxos_decode(receiver_store, okvs::key_bytes(receiver_row));
    const keys::Scalar z = keys::random_scalar(rng);
    const keys::Point p1 = point_conversion::representative_to_point(c_s.data());
    const keys::Point p2 = point_conversion::representative_to_point(c_s.data() + 32);
    const keys::Point q1 = point_conversion::representative_to_point(c_r.data());
    const keys::Point q2 = point_conversion::representative_to_point(c_r.data() + 32);
    keys::compress(keys::mul(p1, z), out);
    keys::compress(keys::mul(q1, z), out + kPointBytes);
    keys::compress(keys::mul_base(z), out + 2 * kPointBytes);
    keys::compress(keys::mul(keys::add(keys::add(p2, q2), swift_pk), z), out + 3 * kPointBytes);
}

}  // namespace

Bytes initiate_queries(const StringRows& sender_data, const StringRows& receiver_data, const Bytes& sender_okvs,
                       const Bytes& receiver_okvs, const Bytes& swift_pk) {
    const okvs::PaxosStore sender_store = okvs::store_from_bytes(sender_okvs);
    const okvs::PaxosStore receiver_store = okvs::store_from_bytes(receiver_okvs);
    const keys::Point pk_w = keys::decode_public_key(swift_pk);
    const size_t n = std::min(sender_data.size(), receiver_data.size());
    Bytes out(n * kCiphertextBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        random::Generator& rng = random::thread_generator();
        for (size_t i = begin; i < end; ++i)
            build_query(sender_store, receiver_store, pk_w, sender_data[i], receiver_data[i], rng,
                        out.data() + kCiphertextBytes * i);
    });
    return out;
}

}  // namespace kestrova::operations
