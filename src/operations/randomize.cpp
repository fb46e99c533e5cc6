#include "ct/wipe.h"
#include "curve/batch.h"
#include "group/scalar.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "random/generator.h"
#include "wide_ciphertexts/chunks.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::kCiphertextBytes;

Bytes randomize(const Bytes& ciphertexts) {
    const size_t n = wide_ciphertexts::chunk_count(ciphertexts.size(), kCiphertextBytes);
    Bytes out(n * kCiphertextBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        random::Generator& rng = random::thread_generator();
        group::Point in[4 * kBlock], product[4 * kBlock];
        group::Scalar t[4 * kBlock];
        const ct::WipeOnExit wipe_t(t);
        for_each_block(begin, end, [&](size_t first, size_t m) {
            for (size_t j = 0; j < m; ++j) {
                auto ct = wide_ciphertexts::parse_wide_ciphertext(
                    wide_ciphertexts::chunk_at(ciphertexts, kCiphertextBytes, first + j));
                t[4 * j] = group::random_scalar(rng);  // one scalar for all four components
                t[4 * j + 1] = t[4 * j + 2] = t[4 * j + 3] = t[4 * j];
                wide_ciphertexts::decode_components(ct, in + 4 * j);
            }
            // Four compressed points per ciphertext, in component order: the list layout.
            curve::mul_each({in, 4 * m}, {t, 4 * m}, {product, 4 * m});
            curve::compress_all({product, 4 * m}, {out.data() + kCiphertextBytes * first, kCiphertextBytes * m});
        });
    });
    return out;
}

}  // namespace kestrova::operations
