#include "wide_ciphertexts/wide_ciphertext.h"

#include <cstring>

#include "panic/panic.h"

namespace kestrova::wide_ciphertexts {

WideCiphertext parse_wide_ciphertext(std::span<const uint8_t> chunk) {
    WideCiphertext ct;
    for (size_t k = 0; k < 4; ++k) {
        const size_t end = kPointBytes * (k + 1);
        if (chunk.size() < end) panic(range_end_message(end, chunk.size()));
        std::memcpy(ct.components[k].data(), chunk.data() + kPointBytes * k, kPointBytes);
    }
    return ct;
}

group::Point decode_point(const uint8_t in[kPointBytes]) {
    auto p = group::decompress_vartime(in);
    if (!p) panic("called `Option::unwrap()` on a `None` value");
    return *p;
}

group::Point decode_point_chunk(std::span<const uint8_t> chunk) {
    if (chunk.size() != kPointBytes) panic(length_mismatch_message(chunk.size(), kPointBytes));
    return decode_point(chunk.data());
}

void decode_components(const WideCiphertext& ct, group::Point out[4]) {
    for (size_t k = 0; k < 4; ++k) out[k] = decode_point(ct.components[k].data());
}

}  // namespace kestrova::wide_ciphertexts
