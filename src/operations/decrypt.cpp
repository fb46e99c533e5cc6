#include "keys/keys.h"
#include "keys/multiply.h"
#include "operations/chunks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

Bytes decrypt(const Bytes& points, const Bytes& bank_secret_key) {
    const keys::Scalar k = keys::decode_secret_scalar(bank_secret_key);
    const size_t n = chunk_count(points.size(), wide_ciphertexts::kPointBytes);
    Bytes out(n * wide_ciphertexts::kPointBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            keys::Point p = wide_ciphertexts::decode_point_chunk(chunk_at(points, wide_ciphertexts::kPointBytes, i));
            keys::compress(keys::mul(p, k), out.data() + wide_ciphertexts::kPointBytes * i);
        }
    });
    return out;
}

}  // namespace kestrova::operations
