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

}  // namespace kestrova::wide_ciphertexts
