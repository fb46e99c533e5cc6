// Ciphertext and point lists cut into records: chunk i of a byte list with
// records of c bytes is bytes c·i .. min(c·(i + 1), L) − 1; only the last
// chunk can be shorter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrova::wide_ciphertexts {

size_t chunk_count(size_t length, size_t c);
std::span<const uint8_t> chunk_at(std::span<const uint8_t> in, size_t c, size_t i);

}  // namespace kestrova::wide_ciphertexts
