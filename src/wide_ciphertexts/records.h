// Ciphertext and point lists cut into records: record i of a byte list with
// records of c bytes is bytes c·i .. min(c·(i + 1), L) − 1; only the last
// record can be shorter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrova::wide_ciphertexts {

size_t record_count(size_t length, size_t c);
std::span<const uint8_t> record_at(std::span<const uint8_t> in, size_t c, size_t i);

}  // namespace kestrova::wide_ciphertexts
