// Scalars: little-endian integers below 2^255. Reduced scalars (below the
// group order) come from the wide reduction; secret-key scalars are taken as
// they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/generator.h"

namespace kestrova::group {

inline constexpr size_t kScalarBytes = 32;

struct Scalar {
    uint8_t bytes[kScalarBytes];
};

// The 512-bit little-endian integer in `wide`, reduced modulo the group order.
Scalar scalar_from_wide(const uint8_t wide[64]);

// One 64-byte draw, then the wide reduction.
Scalar random_scalar(kestrova::random::Generator& g);

// Signed radix-16 digits e[0..63], each in -8..8, with s = sum e[i] 16^i.
// Needs s < 2^255 (bit 255 is ignored): the top digit then stays at most 8.
void scalar_signed_radix16(const Scalar& s, int8_t e[64]);

}  // namespace kestrova::group
