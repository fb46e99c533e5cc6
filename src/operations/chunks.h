// Slicing of ciphertext and point lists into fixed-size chunks (the last may be short).
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrova::operations {

inline size_t chunk_count(size_t length, size_t size) { return (length + size - 1) / size; }

inline std::span<const uint8_t> chunk_at(const std::vector<uint8_t>& list, size_t size, size_t i) {
    const size_t begin = size * i;
    return std::span<const uint8_t>(list.data() + begin, std::min(size, list.size() - begin));
}

// Sub-range sizes for the pool: scalar multiplications are tens of microseconds,
// so small ranges balance well; byte copies need large ones.
constexpr size_t kGrainPerPointWork = 1;
constexpr size_t kGrainCopy = 1 << 14;
// Items a range hands to the batch kernels at once (one field inversion per block).
constexpr size_t kBlock = 32;

}  // namespace kestrova::operations
