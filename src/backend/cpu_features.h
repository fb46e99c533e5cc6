// What this processor, with the operating system's consent, lets the vector
// backends run: read from cpuid and xgetbv, the one place every availability
// check asks. Nothing here waits for a compiler runtime to initialise itself,
// so the choice is the same in every build and every linking of the runtime.
#pragma once

#include <cstdint>

namespace kestrova::backend {

// The registers the choice depends on, as the processor reported them.
struct CpuidRegisters {
    uint32_t max_leaf = 0;   // cpuid leaf 0, eax
    uint32_t leaf1_ecx = 0;  // cpuid leaf 1, ecx
    uint32_t leaf7_ebx = 0;  // cpuid leaf 7 subleaf 0, ebx (0 when max_leaf < 7)
    uint64_t xcr0 = 0;       // xgetbv(0); 0 when leaf 1 lacks OSXSAVE (xgetbv would fault)
};

struct CpuFeatures {
    bool avx2 = false;        // AVX2, with the YMM state enabled
    bool avx512ifma = false;  // AVX-512F and IFMA (and AVX2), with the opmask and ZMM state enabled
};

// The decision alone, from recorded registers.
CpuFeatures features_of(const CpuidRegisters& registers);

// This processor's registers (all zero on processors other than x86-64).
CpuidRegisters read_cpuid_registers();

// This processor's features, read once.
const CpuFeatures& cpu_features();

}  // namespace kestrova::backend
