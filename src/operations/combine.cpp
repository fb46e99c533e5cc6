#include <algorithm>
#include <cstring>

#include "curve/batch.h"
#include "group/point.h"
#include "operations/blocks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/chunks.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/gather.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::chunk_at;
using wide_ciphertexts::chunk_count;
using wide_ciphertexts::kCiphertextBytes;
using wide_ciphertexts::kPointBytes;

std::array<Bytes, 4> combine(const Bytes& sender_ciphertexts, const Bytes& receiver_ciphertexts) {
    const size_t n = std::min(chunk_count(sender_ciphertexts.size(), kCiphertextBytes),
                              chunk_count(receiver_ciphertexts.size(), kCiphertextBytes));
    std::vector<wide_ciphertexts::WideCiphertext> sums(n);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        group::Point sum[4 * kBlock];
        uint8_t encoded[4 * kBlock * kPointBytes];
        for_each_block(begin, end, [&](size_t first, size_t m) {
            for (size_t j = 0; j < m; ++j) {
                const size_t i = first + j;
                auto a = wide_ciphertexts::parse_wide_ciphertext(chunk_at(sender_ciphertexts, kCiphertextBytes, i));
                auto b = wide_ciphertexts::parse_wide_ciphertext(chunk_at(receiver_ciphertexts, kCiphertextBytes, i));
                // Decoded in the order a.sender, b.sender, a.receiver, ...: the first bad one is reported.
                for (size_t c = 0; c < 4; ++c) {
                    const group::Point pa = wide_ciphertexts::decode_point(a.components[c].data());
                    sum[4 * j + c] = group::add(pa, wide_ciphertexts::decode_point(b.components[c].data()));
                }
            }
            curve::compress_all({sum, 4 * m}, {encoded, 4 * m * kPointBytes});
            for (size_t j = 0; j < m; ++j)
                for (size_t c = 0; c < 4; ++c)
                    std::memcpy(sums[first + j].components[c].data(), encoded + kPointBytes * (4 * j + c), kPointBytes);
        });
    });
    std::array<Bytes, 4> parts;
    for (size_t c = 0; c < 4; ++c) {
        parts[c] = worker_pool::gather(
            sums,
            [c](const wide_ciphertexts::WideCiphertext& ct) -> const std::array<uint8_t, kPointBytes>& {
                return ct.components[c];
            },
            kGrainCopy);
    }
    return parts;
}

}  // namespace kestrova::operations
