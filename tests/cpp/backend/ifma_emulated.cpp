// The IFMA kernels compiled for the baseline processor over a portable
// emulation of the AVX-512 intrinsics they use (SIMDe, plus the few it lacks,
// below), so that a machine without IFMA runs them. No native AVX-512
// instruction is emitted here: this file gets no target options. Test builds
// only; it stands in for the native backend's ifma() in its test binary.
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Lane by lane over the eight 64-bit words.
template <class Op>
simde__m512i each_lane(simde__m512i a, simde__m512i b, simde__m512i c, Op op) {
    uint64_t x[8], y[8], z[8];
    std::memcpy(x, &a, sizeof x);
    std::memcpy(y, &b, sizeof y);
    std::memcpy(z, &c, sizeof z);
    for (int i = 0; i < 8; ++i) x[i] = op(x[i], y[i], z[i]);
    simde__m512i r;
    std::memcpy(&r, x, sizeof r);
    return r;
}

template <class Op>
simde__mmask8 lane_mask(simde__m512i a, simde__m512i b, Op op) {
    uint64_t x[8], y[8];
    std::memcpy(x, &a, sizeof x);
    std::memcpy(y, &b, sizeof y);
    simde__mmask8 k = 0;
    for (int i = 0; i < 8; ++i) k = simde__mmask8(k | (op(x[i], y[i]) ? 1u << i : 0u));
    return k;
}

__extension__ typedef unsigned __int128 U128;
constexpr uint64_t kLow52 = (uint64_t(1) << 52) - 1;

// a + the low (high) 52 bits of the 104-bit product of the low 52 bits of b and c.
U128 product52(uint64_t b, uint64_t c) { return U128(b & kLow52) * U128(c & kLow52); }

simde__m512i emulated_madd52lo(simde__m512i a, simde__m512i b, simde__m512i c) {
    return each_lane(a, b, c, [](uint64_t x, uint64_t y, uint64_t z) { return x + (uint64_t(product52(y, z)) & kLow52); });
}

simde__m512i emulated_madd52hi(simde__m512i a, simde__m512i b, simde__m512i c) {
    return each_lane(a, b, c, [](uint64_t x, uint64_t y, uint64_t z) { return x + uint64_t(product52(y, z) >> 52); });
}

simde__mmask8 emulated_cmplt_epi64(simde__m512i a, simde__m512i b) {
    return lane_mask(a, b, [](uint64_t x, uint64_t y) { return int64_t(x) < int64_t(y); });
}

simde__mmask8 emulated_cmpgt_epu64(simde__m512i a, simde__m512i b) {
    return lane_mask(a, b, [](uint64_t x, uint64_t y) { return x > y; });
}

}  // namespace

// The names the kernels use, for what this version of SIMDe leaves out.
typedef simde__mmask8 __mmask8;
#define _mm512_madd52lo_epu64 emulated_madd52lo
#define _mm512_madd52hi_epu64 emulated_madd52hi
#define _mm512_cmplt_epi64_mask emulated_cmplt_epi64
#define _mm512_cmpgt_epu64_mask emulated_cmpgt_epu64

#include "backend/backend.h"
#include "backend/ifma_layout.h"
#include "backend/vector_backend.h"
#include "ct/wipe.h"
#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar.h"
#include "group/scalar_mul.h"
#include "panic/verify.h"

#include "backend/ifma_kernels.inc"

namespace kestrova::backend {

// Every call of this binary's IFMA backend reaches the emulated kernels, on any x86-64 processor.
const Backend* ifma() {
    static const VectorBackend<IfmaKernels> backend;
    return &backend;
}

}  // namespace kestrova::backend
