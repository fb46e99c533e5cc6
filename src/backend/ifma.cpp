// The AVX-512 IFMA backend (the kernels are in ifma_kernels.inc). Every lane
// runs the same instruction sequence as the serial routines (same windows,
// same full table scans with per-lane masks), so nothing depends on secret values.
//
// Only the kernels between the target pragmas use AVX-512 (GCC's pragma,
// clang's attribute push: each names the same targets); every header is
// included before them, so no shared inline or template code is ever compiled
// for AVX-512 (which would break machines without it).
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "backend/backend.h"
#include "backend/cpu_features.h"
#include "backend/vector_backend.h"
#include "backend/ifma_layout.h"
#include "ct/wipe.h"
#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar.h"
#include "group/scalar_mul.h"
#include "panic/verify.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512ifma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512ifma")
#endif

#include "backend/ifma_kernels.inc"

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace kestrova::backend {

const Backend* ifma() {
    static const VectorBackend<IfmaKernels> backend;
    if (!cpu_features().avx512ifma) return nullptr;
    return &backend;
}

}  // namespace kestrova::backend
