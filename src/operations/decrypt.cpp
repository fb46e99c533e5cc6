#include <algorithm>

#include "keys/batch.h"
#include "keys/keys.h"
#include "operations/chunks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::kPointBytes;

Bytes decrypt(const Bytes& points, const Bytes& bank_secret_key) {
    const keys::Scalar k = keys::decode_secret_scalar(bank_secret_key);
    const size_t n = chunk_count(points.size(), kPointBytes);
    Bytes out(n * kPointBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        keys::Point in[kBlock], product[kBlock];
        for (size_t first = begin; first < end; first += kBlock) {
            const size_t m = std::min(kBlock, end - first);
            // Decoding is the only step that can fail: done in index order first.
            for (size_t j = 0; j < m; ++j)
                in[j] = wide_ciphertexts::decode_point_chunk(chunk_at(points, kPointBytes, first + j));
            keys::mul_all({in, m}, k, {product, m});
            keys::compress_all({product, m}, out.data() + kPointBytes * first);
        }
    });
    return out;
}

}  // namespace kestrova::operations
