// The ChaCha block function with the round count as a parameter
// (20 rounds reproduces the published ChaCha20 vectors; the generator uses 12).
#pragma once

#include <cstdint>

namespace kestrova::random {

// out = rounds/2 double rounds over `in`, then `in` added word by word.
void chacha_block(const uint32_t in[16], uint32_t out[16], int rounds);

// The standard state: constants, 8 key words, 64-bit counter (low word first), 64-bit stream.
void chacha_init_state(uint32_t state[16], const uint8_t key[32], uint64_t counter, uint64_t stream);

// Four consecutive blocks (counters counter .. counter + 3, stream 0) into
// out[16 * b ...], the same words as four chacha_block calls; vectorised
// where the processor allows.
void chacha_blocks4(const uint8_t key[32], uint64_t counter, uint32_t out[64], int rounds);

}  // namespace kestrova::random
