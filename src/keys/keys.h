// Key pairs and the parsing of keys shared by the operations.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "group/point.h"
#include "group/scalar.h"

namespace kestrova::keys {

// 32 bytes that decompress; panics with the length message first, then with
// "The public key was not a valid curve point.".
group::Point decode_public_key(std::span<const uint8_t> bytes);

// 32 bytes, bit 255 cleared, no reduction; panics with the length message.
group::Scalar decode_secret_scalar(std::span<const uint8_t> bytes);

// (public, secret): 64 bytes from the thread's generator, wide reduction, s * B.
using KeyPair = std::pair<std::array<uint8_t, group::kPointBytes>, std::array<uint8_t, group::kScalarBytes>>;
KeyPair generate_key_pair();

}  // namespace kestrova::keys
