// The 128-byte record that carries one transaction's encrypted match result:
// four compressed points (sender, receiver, gamma, delta), decoded only when used,
// in blocks through the batch kernels (batch_decode.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "group/point.h"

namespace kestrova::wide_ciphertexts {

using group::kPointBytes;
// The record: four compressed points.
inline constexpr size_t kComponents = 4;
inline constexpr size_t kCiphertextBytes = kComponents * kPointBytes;

struct WideCiphertext {
    std::array<std::array<uint8_t, kPointBytes>, kComponents> components;
};

// Checks each piece's end against the record length (a short last record of a list).
// The pieces are not decoded here.
WideCiphertext parse_wide_ciphertext(std::span<const uint8_t> record);

}  // namespace kestrova::wide_ciphertexts
