// The AVX-512 IFMA backend of the batch kernels (eight items per pass).
#pragma once

#include "keys/batch.h"

namespace kestrova::keys {

// Null when the processor or the operating system lacks AVX-512 IFMA.
const BatchBackend* ifma_backend();

}  // namespace kestrova::keys
