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
        for (size_t i = begin; i < end; ++i) {
            auto ct = wide_ciphertexts::parse_wide_ciphertext(chunk_at(ciphertexts, kCiphertextBytes, i));
            const keys::Scalar t = keys::random_scalar(rng);
            wide_ciphertexts::serialize_wide_ciphertext(wide_ciphertexts::rerandomize(ct, t),
                                                        out.data() + kCiphertextBytes * i);
        }
    });
    return out;
}

}  // namespace kestrova::operations
