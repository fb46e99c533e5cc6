// The 128-byte record that carries one transaction's encrypted match result:
// four compressed points (sender, receiver, gamma, delta), decoded only when used,
// in blocks through the batch kernels (batch_decode.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "group/point.h"

namespace kestrova::wide_ciphertexts {

constexpr size_t kPointBytes = 32;
constexpr size_t kCiphertextBytes = 128;

struct WideCiphertext {
    std::array<std::array<uint8_t, kPointBytes>, 4> components;
};

// Checks each piece's end against the chunk length (a short last chunk of a list).
// The pieces are not decoded here.
WideCiphertext parse_wide_ciphertext(std::span<const uint8_t> chunk);

}  // namespace kestrova::wide_ciphertexts
