#include "wide_ciphertexts/wide_ciphertext.h"

#include <cstring>

#include "keys/multiply.h"
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

void serialize_wide_ciphertext(const WideCiphertext& ct, uint8_t out[kCiphertextBytes]) {
    for (size_t k = 0; k < 4; ++k) std::memcpy(out + kPointBytes * k, ct.components[k].data(), kPointBytes);
}

keys::Point decode_point(const uint8_t in[kPointBytes]) {
    auto p = keys::decompress(in);
    if (!p) panic("called `Option::unwrap()` on a `None` value");
    return *p;
}

keys::Point decode_point_chunk(std::span<const uint8_t> chunk) {
    if (chunk.size() != kPointBytes) panic(length_mismatch_message(chunk.size(), kPointBytes));
    return decode_point(chunk.data());
}

WideCiphertext rerandomize(const WideCiphertext& ct, const keys::Scalar& t) {
    WideCiphertext out;
    for (size_t k = 0; k < 4; ++k) {
        keys::Point p = decode_point(ct.components[k].data());
        keys::compress(keys::mul(p, t), out.components[k].data());
    }
    return out;
}

WideCiphertext add_wide_ciphertexts(const WideCiphertext& a, const WideCiphertext& b) {
    WideCiphertext out;
    for (size_t k = 0; k < 4; ++k) {
        keys::Point pa = decode_point(a.components[k].data());
        keys::Point pb = decode_point(b.components[k].data());
        keys::compress(keys::add(pa, pb), out.components[k].data());
    }
    return out;
}

}  // namespace kestrova::wide_ciphertexts
