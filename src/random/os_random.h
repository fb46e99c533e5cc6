// The operating-system entropy source.
#pragma once

#include <cstdint>

namespace kestrova::random {

// Fills 32 bytes; returns 0 on success or a positive error code
// (an errno, or 0x80000001 for an error number that was not positive).
uint32_t os_random_32(uint8_t out[32]);

}  // namespace kestrova::random
