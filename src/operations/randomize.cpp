#include "ct/wipe.h"
#include "curve/batch.h"
#include "group/scalar.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "random/generator.h"
#include "wide_ciphertexts/batch_decode.h"
#include "wide_ciphertexts/records.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::kCiphertextBytes;

size_t randomize_count(In ciphertexts) { return wide_ciphertexts::record_count(ciphertexts.size(), kCiphertextBytes); }

Bytes randomize(const Bytes& ciphertexts) {
    Bytes out(randomize_count(ciphertexts) * kCiphertextBytes);
    randomize_into(ciphertexts, out);
    return out;
}

void randomize_into(In ciphertexts, Out out) {
    const size_t n = randomize_count(ciphertexts);
    require_output(out, n * kCiphertextBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        random::Generator& rng = random::thread_generator();
        group::Point in[4 * kBlock], product[4 * kBlock];
        group::Scalar t[4 * kBlock];
        uint8_t ok[4 * kBlock];
        const ct::WipeOnExit wipe_t(t);
        for_each_block(begin, end, [&](size_t first, size_t m) {
            wide_ciphertexts::decompress_records(ciphertexts, kCiphertextBytes, first, m, in, ok);
            for (size_t j = 0; j < m; ++j) {
                wide_ciphertexts::require_ciphertext_record(ciphertexts, first + j);
                for (size_t c = 0; c < 4; ++c) wide_ciphertexts::require_point(ok[4 * j + c]);
                t[4 * j] = group::random_scalar(rng);  // one scalar for all four components
                t[4 * j + 1] = t[4 * j + 2] = t[4 * j + 3] = t[4 * j];
            }
            // Four compressed points per ciphertext, in component order: the list layout.
            curve::mul_each({in, 4 * m}, {t, 4 * m}, {product, 4 * m});
            curve::compress_all({product, 4 * m}, {out.data() + kCiphertextBytes * first, kCiphertextBytes * m});
        });
    });
}

}  // namespace kestrova::operations
