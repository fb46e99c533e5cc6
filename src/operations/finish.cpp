#include "keys/keys.h"
#include "keys/multiply.h"
#include "operations/chunks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/wide_ciphertext.h"

namespace kestrova::operations {

using wide_ciphertexts::decode_point_chunk;
using wide_ciphertexts::kPointBytes;

std::vector<bool> finish(const Bytes& sender_points, const Bytes& receiver_points, const Bytes& gamma_points,
                         const Bytes& delta_points, const Bytes& swift_secret_key) {
    const keys::Scalar k = keys::decode_secret_scalar(swift_secret_key);
    const size_t n = std::min({chunk_count(sender_points.size(), kPointBytes),
                               chunk_count(receiver_points.size(), kPointBytes),
                               chunk_count(gamma_points.size(), kPointBytes),
                               chunk_count(delta_points.size(), kPointBytes)});
    std::vector<bool> results;
    results.reserve(n);
    // On the calling thread, index by index, so the first bad chunk is the one reported.
    for (size_t i = 0; i < n; ++i) {
        keys::Point s = decode_point_chunk(chunk_at(sender_points, kPointBytes, i));
        keys::Point r = decode_point_chunk(chunk_at(receiver_points, kPointBytes, i));
        keys::Point g = decode_point_chunk(chunk_at(gamma_points, kPointBytes, i));
        keys::Point d = decode_point_chunk(chunk_at(delta_points, kPointBytes, i));
        keys::Point z = keys::add(keys::add(s, r), keys::mul(g, k));
        results.push_back(keys::equal(d, z));
    }
    return results;
}

}  // namespace kestrova::operations
