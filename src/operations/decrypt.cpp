#include "ct/wipe.h"
#include "curve/batch.h"
#include "group/point.h"
#include "keys/keys.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/batch_decode.h"
#include "wide_ciphertexts/records.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using group::kPointBytes;

size_t decrypt_count(In points) { return wide_ciphertexts::record_count(points.size(), kPointBytes); }

Bytes decrypt(const Bytes& points, const Bytes& bank_secret_key) {
    Bytes out(decrypt_count(points) * kPointBytes);
    decrypt_into(points, bank_secret_key, out);
    return out;
}

void decrypt_into(In points, In bank_secret_key, Out out) {
    group::Scalar k = keys::decode_secret_scalar(bank_secret_key);
    const ct::WipeOnExit wipe_k(k);
    const size_t n = decrypt_count(points);
    require_output(out, n * kPointBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        group::Point in[kBlock], product[kBlock];
        uint8_t ok[kBlock];
        for_each_block(begin, end, [&](size_t first, size_t m) {
            // Decoding is the only step that can fail: checked in index order first.
            wide_ciphertexts::decompress_records(points, kPointBytes, first, m, in, ok);
            for (size_t j = 0; j < m; ++j) wide_ciphertexts::require_point_record(points, first + j, ok[j]);
            curve::mul_all({in, m}, k, {product, m});
            curve::compress_all({product, m}, {out.data() + kPointBytes * first, kPointBytes * m});
        });
    });
}

}  // namespace kestrova::operations
