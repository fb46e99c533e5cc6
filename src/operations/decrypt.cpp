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
using wide_ciphertexts::kPointBytes;

Bytes decrypt(const Bytes& points, const Bytes& bank_secret_key) {
    group::Scalar k = keys::decode_secret_scalar(bank_secret_key);
    const ct::WipeOnExit wipe_k(k);
    const size_t n = wide_ciphertexts::chunk_count(points.size(), kPointBytes);
    Bytes out(n * kPointBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        group::Point in[kBlock], product[kBlock];
        for_each_block(begin, end, [&](size_t first, size_t m) {
            // Decoding is the only step that can fail: done in index order first.
            for (size_t j = 0; j < m; ++j)
                in[j] = wide_ciphertexts::decode_point_chunk(chunk_at(points, kPointBytes, first + j));
            curve::mul_all({in, m}, k, {product, m});
            curve::compress_all({product, m}, {out.data() + kPointBytes * first, kPointBytes * m});
        });
    });
    return out;
}

}  // namespace kestrova::operations
