#include <algorithm>

#include "ct/choice.h"
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

using wide_ciphertexts::record_count;
using wide_ciphertexts::decompress_records;
using group::kPointBytes;
using wide_ciphertexts::require_point_record;

size_t finish_count(In sender_points, In receiver_points, In gamma_points, In delta_points) {
    return std::min({record_count(sender_points.size(), kPointBytes), record_count(receiver_points.size(), kPointBytes),
                     record_count(gamma_points.size(), kPointBytes), record_count(delta_points.size(), kPointBytes)});
}

std::vector<bool> finish(const Bytes& sender_points, const Bytes& receiver_points, const Bytes& gamma_points,
                         const Bytes& delta_points, const Bytes& central_secret_key) {
    // vector<bool> packs bits, so the workers write bytes.
    std::vector<uint8_t> equal(finish_count(sender_points, receiver_points, gamma_points, delta_points));
    finish_into(sender_points, receiver_points, gamma_points, delta_points, central_secret_key, equal);
    return std::vector<bool>(equal.begin(), equal.end());
}

void finish_into(In sender_points, In receiver_points, In gamma_points, In delta_points, In central_secret_key,
                 Out equal) {
    group::Scalar k = keys::decode_secret_scalar(central_secret_key);
    const ct::WipeOnExit wipe_k(k);
    const size_t n = finish_count(sender_points, receiver_points, gamma_points, delta_points);
    require_output(equal, n);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        group::Point s[kBlock], r[kBlock], g[kBlock], d[kBlock], kg[kBlock];
        uint8_t ok_s[kBlock], ok_r[kBlock], ok_g[kBlock], ok_d[kBlock];
        for_each_block(begin, end, [&](size_t first, size_t m) {
            worker_pool::check_interrupt();  // polls only when the loop runs on the calling thread
            decompress_records(sender_points, kPointBytes, first, m, s, ok_s);
            decompress_records(receiver_points, kPointBytes, first, m, r, ok_r);
            decompress_records(gamma_points, kPointBytes, first, m, g, ok_g);
            decompress_records(delta_points, kPointBytes, first, m, d, ok_d);
            // Per transaction in the order sender, receiver, gamma, delta: the first bad one is reported.
            for (size_t j = 0; j < m; ++j) {
                require_point_record(sender_points, first + j, ok_s[j]);
                require_point_record(receiver_points, first + j, ok_r[j]);
                require_point_record(gamma_points, first + j, ok_g[j]);
                require_point_record(delta_points, first + j, ok_d[j]);
            }
            curve::mul_all({g, m}, k, {kg, m});
            for (size_t j = 0; j < m; ++j)
                // The comparison's outcome is the result.
                equal[first + j] = ct::declassify(group::equal(d[j], group::add(group::add(s[j], r[j]), kg[j])));
        });
    });
}

}  // namespace kestrova::operations
