// Chunking of ciphertext and point lists, and the loop sizes of the operations.
#pragma once

#include <cstddef>

#include "worker_pool/loops.h"

namespace kestrova::operations {

using worker_pool::chunk_at;
using worker_pool::chunk_count;

// Sub-range sizes for the pool: scalar multiplications are tens of microseconds,
// so small ranges balance well; byte copies need large ones.
constexpr size_t kGrainPerPointWork = 1;
constexpr size_t kGrainCopy = 1 << 14;
// Items a range hands to the batch kernels at once (one field inversion per block).
constexpr size_t kBlock = 32;

}  // namespace kestrova::operations
