#include "wide_ciphertexts/wide_ciphertext.h"

#include <cstring>

#include "panic/panic.h"

namespace kestrova::wide_ciphertexts {

WideCiphertext parse_wide_ciphertext(std::span<const uint8_t> record) {
    WideCiphertext ct;
    for (size_t k = 0; k < kComponents; ++k) {
        const size_t end = kPointBytes * (k + 1);
        if (record.size() < end) panic(range_end_message(end, record.size()));
        std::memcpy(ct.components[k].data(), record.data() + kPointBytes * k, kPointBytes);
    }
    return ct;
}

}  // namespace kestrova::wide_ciphertexts
