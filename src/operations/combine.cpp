#include <algorithm>
#include <cstring>

#include "group/point.h"
#include "curve/batch.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/batch_decode.h"
#include "wide_ciphertexts/records.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::record_count;
using wide_ciphertexts::kCiphertextBytes;
using group::kPointBytes;
using wide_ciphertexts::require_point;

size_t combine_count(In sender_ciphertexts, In receiver_ciphertexts) {
    return std::min(record_count(sender_ciphertexts.size(), kCiphertextBytes),
                    record_count(receiver_ciphertexts.size(), kCiphertextBytes));
}

std::array<Bytes, 4> combine(const Bytes& sender_ciphertexts, const Bytes& receiver_ciphertexts) {
    const size_t n = combine_count(sender_ciphertexts, receiver_ciphertexts);
    std::array<Bytes, 4> parts;
    for (Bytes& part : parts) part.resize(n * kPointBytes);
    combine_into(sender_ciphertexts, receiver_ciphertexts, {parts[0], parts[1], parts[2], parts[3]});
    return parts;
}

void combine_into(In sender_ciphertexts, In receiver_ciphertexts, const std::array<Out, 4>& parts) {
    const size_t n = combine_count(sender_ciphertexts, receiver_ciphertexts);
    for (const Out& part : parts) require_output(part, n * kPointBytes);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        group::Point a[4 * kBlock], b[4 * kBlock];
        uint8_t ok_a[4 * kBlock], ok_b[4 * kBlock];
        uint8_t encoded[4 * kBlock * kPointBytes];
        for_each_block(begin, end, [&](size_t first, size_t m) {
            wide_ciphertexts::decompress_records(sender_ciphertexts, kCiphertextBytes, first, m, a, ok_a);
            wide_ciphertexts::decompress_records(receiver_ciphertexts, kCiphertextBytes, first, m, b, ok_b);
            for (size_t j = 0; j < m; ++j) {
                wide_ciphertexts::require_ciphertext_record(sender_ciphertexts, first + j);
                wide_ciphertexts::require_ciphertext_record(receiver_ciphertexts, first + j);
                // In the order a.sender, b.sender, a.receiver, ...: the first bad one is reported.
                for (size_t c = 0; c < 4; ++c) {
                    require_point(ok_a[4 * j + c]);
                    require_point(ok_b[4 * j + c]);
                }
            }
            for (size_t i = 0; i < 4 * m; ++i) a[i] = group::add(a[i], b[i]);
            curve::compress_all({a, 4 * m}, {encoded, 4 * m * kPointBytes});
            for (size_t j = 0; j < m; ++j)
                for (size_t c = 0; c < 4; ++c)
                    std::memcpy(parts[c].data() + kPointBytes * (first + j), encoded + kPointBytes * (4 * j + c),
                                kPointBytes);
        });
    });
}

}  // namespace kestrova::operations
