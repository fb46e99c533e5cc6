#include "wide_ciphertexts/records.h"

#include <algorithm>

#include "panic/panic.h"

namespace kestrova::wide_ciphertexts {

size_t record_count(size_t length, size_t c) {
    if (c == 0) panic("record size must not be zero");
    return length / c + (length % c != 0 ? 1 : 0);
}

std::span<const uint8_t> record_at(std::span<const uint8_t> in, size_t c, size_t i) {
    const size_t begin = c * i;
    return in.subspan(begin, std::min(c, in.size() - begin));
}

}  // namespace kestrova::wide_ciphertexts
