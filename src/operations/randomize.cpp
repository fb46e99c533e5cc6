#include <algorithm>

#include "keys/batch.h"
#include "keys/scalar.h"
#include "operations/chunks.h"
#include "operations/operations.h"
#include "random/generator.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::kCiphertextBytes;

Bytes randomize(const Bytes& ciphertexts) {
    const size_t n = chunk_count(ciphertexts.size(), kCiphertextBytes);
    Bytes out(n * kCiphertextBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        random::Generator& rng = random::thread_generator();
        keys::Point in[4 * kBlock], product[4 * kBlock];
        keys::Scalar t[4 * kBlock];
        for (size_t first = begin; first < end; first += kBlock) {
            const size_t m = std::min(kBlock, end - first);
            for (size_t j = 0; j < m; ++j) {
                auto ct = wide_ciphertexts::parse_wide_ciphertext(chunk_at(ciphertexts, kCiphertextBytes, first + j));
                t[4 * j] = keys::random_scalar(rng);  // one scalar for all four components
                t[4 * j + 1] = t[4 * j + 2] = t[4 * j + 3] = t[4 * j];
                wide_ciphertexts::decode_components(ct, in + 4 * j);
            }
            // Four compressed points per ciphertext, in component order: the list layout.
            keys::mul_each({in, 4 * m}, {t, 4 * m}, {product, 4 * m});
            keys::compress_all({product, 4 * m}, out.data() + kCiphertextBytes * first);
        }
    });
    return out;
}

}  // namespace kestrova::operations
