// The 128-byte record that carries one transaction's encrypted match result:
// four compressed points (sender, receiver, gamma, delta), decoded only when used.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "group/point.h"

namespace kestrova::wide_ciphertexts {

constexpr size_t kPointBytes = 32;
constexpr size_t kCiphertextBytes = 128;

enum Component : size_t { kSender = 0, kReceiver = 1, kGamma = 2, kDelta = 3 };

struct WideCiphertext {
    std::array<std::array<uint8_t, kPointBytes>, 4> components;
};

// Checks each piece's end against the chunk length (a short last chunk of a list).
// The pieces are not decoded here.
WideCiphertext parse_wide_ciphertext(std::span<const uint8_t> chunk);

// Decompression that fails the call on an encoding that is no curve point.
group::Point decode_point(const uint8_t in[kPointBytes]);
// The same for a chunk of a point list: exactly 32 bytes, then decodable.
group::Point decode_point_chunk(std::span<const uint8_t> chunk);

// The four points in component order; the first undecodable one fails the call.
// The operations multiply or add them in blocks through the batch kernels, and
// the compressed results are written in the same component order.
void decode_components(const WideCiphertext& ct, group::Point out[4]);

}  // namespace kestrova::wide_ciphertexts
