#include "backend/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kestrova::backend {

namespace {

constexpr uint32_t kOsxsave = 1u << 27;  // leaf 1 ecx: xgetbv usable, the OS manages the state
constexpr uint32_t kAvx = 1u << 28;      // leaf 1 ecx
constexpr uint32_t kAvx2 = 1u << 5;      // leaf 7 ebx
constexpr uint32_t kAvx512f = 1u << 16;  // leaf 7 ebx
constexpr uint32_t kIfma = 1u << 21;     // leaf 7 ebx
// XCR0: SSE and YMM upper halves; opmask, ZMM upper halves of 0-15, ZMM 16-31.
constexpr uint64_t kYmmState = (1u << 1) | (1u << 2);
constexpr uint64_t kZmmState = (1u << 5) | (1u << 6) | (1u << 7);

bool all(uint64_t value, uint64_t bits) { return (value & bits) == bits; }

}  // namespace

CpuFeatures features_of(const CpuidRegisters& r) {
    CpuFeatures f;
    // A kernel or hypervisor that does not save a register file clears its XCR0
    // bits while cpuid may still list the instructions: those would fault.
    const bool ymm = all(r.leaf1_ecx, kOsxsave | kAvx) && all(r.xcr0, kYmmState);
    const uint32_t leaf7 = r.max_leaf >= 7 ? r.leaf7_ebx : 0;
    f.avx2 = ymm && all(leaf7, kAvx2);
    // The IFMA kernels are compiled for AVX-512F, which lets the compiler use AVX2 too.
    f.avx512ifma = f.avx2 && all(leaf7, kAvx512f | kIfma) && all(r.xcr0, kZmmState);
    return f;
}

CpuidRegisters read_cpuid_registers() {
    CpuidRegisters r;
#if defined(__x86_64__)
    uint32_t a = 0, b = 0, c = 0, d = 0;
    r.max_leaf = __get_cpuid_max(0, nullptr);
    if (r.max_leaf >= 1) {
        __cpuid(1, a, b, c, d);
        r.leaf1_ecx = c;
    }
    if (r.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        r.leaf7_ebx = b;
    }
    if (r.leaf1_ecx & kOsxsave) {
        // xgetbv by its encoding, so that no target attribute is needed.
        uint32_t lo, hi;
        __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(lo), "=d"(hi) : "c"(0));
        r.xcr0 = (uint64_t(hi) << 32) | lo;
    }
#endif
    return r;
}

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = features_of(read_cpuid_registers());
    return features;
}

}  // namespace kestrova::backend
