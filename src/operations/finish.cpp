#include <algorithm>

#include "ct/choice.h"
#include "ct/wipe.h"
#include "curve/batch.h"
#include "keys/keys.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/chunks.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::chunk_at;
using wide_ciphertexts::chunk_count;
using wide_ciphertexts::decode_point_chunk;
using wide_ciphertexts::kPointBytes;

std::vector<bool> finish(const Bytes& sender_points, const Bytes& receiver_points, const Bytes& gamma_points,
                         const Bytes& delta_points, const Bytes& swift_secret_key) {
    group::Scalar k = keys::decode_secret_scalar(swift_secret_key);
    const ct::WipeOnExit wipe_k(k);
    const size_t n = std::min({chunk_count(sender_points.size(), kPointBytes),
                               chunk_count(receiver_points.size(), kPointBytes),
                               chunk_count(gamma_points.size(), kPointBytes),
                               chunk_count(delta_points.size(), kPointBytes)});
    std::vector<bool> results;
    results.reserve(n);
    // On the calling thread, in blocks: every chunk of a block is checked and
    // decoded in index order (so the first bad one is reported), then the
    // block's k·G products come from one batch call.
    group::Point s[kBlock], r[kBlock], g[kBlock], d[kBlock], kg[kBlock];
    for_each_block(0, n, [&](size_t first, size_t m) {
        worker_pool::check_interrupt();
        for (size_t j = 0; j < m; ++j) {
            s[j] = decode_point_chunk(chunk_at(sender_points, kPointBytes, first + j));
            r[j] = decode_point_chunk(chunk_at(receiver_points, kPointBytes, first + j));
            g[j] = decode_point_chunk(chunk_at(gamma_points, kPointBytes, first + j));
            d[j] = decode_point_chunk(chunk_at(delta_points, kPointBytes, first + j));
        }
        curve::mul_all({g, m}, k, {kg, m});
        for (size_t j = 0; j < m; ++j)
            // The comparison's outcome is the result.
            results.push_back(ct::declassify(group::equal(d[j], group::add(group::add(s[j], r[j]), kg[j]))));
    });
    return results;
}

}  // namespace kestrova::operations
