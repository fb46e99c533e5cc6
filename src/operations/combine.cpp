#include <cstring>

#include "operations/chunks.h"
#include "operations/operations.h"
#include "wide_ciphertexts/wide_ciphertext.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using wide_ciphertexts::kCiphertextBytes;
using wide_ciphertexts::kPointBytes;

std::array<Bytes, 4> combine(const Bytes& sender_ciphertexts, const Bytes& receiver_ciphertexts) {
    const size_t n = std::min(chunk_count(sender_ciphertexts.size(), kCiphertextBytes),
                              chunk_count(receiver_ciphertexts.size(), kCiphertextBytes));
    std::vector<wide_ciphertexts::WideCiphertext> sums(n);
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            auto a = wide_ciphertexts::parse_wide_ciphertext(chunk_at(sender_ciphertexts, kCiphertextBytes, i));
            auto b = wide_ciphertexts::parse_wide_ciphertext(chunk_at(receiver_ciphertexts, kCiphertextBytes, i));
            sums[i] = wide_ciphertexts::add_wide_ciphertexts(a, b);
        }
    });
    std::array<Bytes, 4> parts;
    for (size_t k = 0; k < 4; ++k) {
        parts[k].resize(n * kPointBytes);
        worker_pool::parallel_for(n, kGrainCopy, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i)
                std::memcpy(parts[k].data() + kPointBytes * i, sums[i].components[k].data(), kPointBytes);
        });
    }
    return parts;
}

}  // namespace kestrova::operations
