// The loop sizes of the operations, and their walk over a range in blocks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "panic/panic.h"

namespace kestrova::operations {

// Items a range hands to the batch kernels at once (one field inversion per block).
constexpr size_t kBlock = 32;
// Sub-range sizes for the pool. Point work in whole blocks: a range of a few items
// would still pay a block's inversion and all of the kernels' lanes (a batch of
// 10 000 cost about a tenth more per item than one of 10^6). Byte copies need large ones.
constexpr size_t kGrainPerPointWork = kBlock;
constexpr size_t kGrainCopy = 1 << 14;

// An output the caller sized must hold exactly the records computed.
inline void require_output(std::span<uint8_t> out, size_t bytes) {
    if (out.size() != bytes) panic(length_mismatch_message(out.size(), bytes));
}

// block(first, m) for consecutive blocks of m <= kBlock items covering [begin, end).
template <class F>
void for_each_block(size_t begin, size_t end, const F& block) {
    for (size_t first = begin; first < end; first += kBlock) block(first, std::min(kBlock, end - first));
}

}  // namespace kestrova::operations
