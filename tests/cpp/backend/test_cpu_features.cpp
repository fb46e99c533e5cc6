#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "backend/cpu_features.h"
#include "named_case.h"

namespace kestrova::backend {
namespace {

// Registers read on the development machine (a Xeon with AVX-512 IFMA under
// a hypervisor): cpuid leaf 0 eax, leaf 1 ecx, leaf 7 ebx, xgetbv(0).
constexpr CpuidRegisters kIfmaMachine{0x20, 0xfffa3203, 0xf1bf27eb, 0x602e7};
// A Haswell: AVX2, no AVX-512; the OS saves x87, SSE and AVX state.
constexpr CpuidRegisters kHaswell{0xd, 0x7ffafbbf, 0x000027ab, 0x7};

constexpr uint32_t kOsxsave = 1u << 27, kAvx = 1u << 28;
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kIfma = 1u << 21;

CpuidRegisters with(CpuidRegisters r, uint32_t clear_ecx, uint32_t clear_ebx, uint64_t clear_xcr0) {
    r.leaf1_ecx &= ~clear_ecx;
    r.leaf7_ebx &= ~clear_ebx;
    r.xcr0 &= ~clear_xcr0;
    return r;
}

struct Case : test::NamedCase {
    CpuidRegisters registers;
    bool avx2, avx512ifma;
};

class Decision : public ::testing::TestWithParam<Case> {};

TEST_P(Decision, FromRecordedRegisters) {
    const CpuFeatures f = features_of(GetParam().registers);
    EXPECT_EQ(f.avx2, GetParam().avx2);
    EXPECT_EQ(f.avx512ifma, GetParam().avx512ifma);
}

INSTANTIATE_TEST_SUITE_P(
    Cpuid, Decision,
    ::testing::Values(
        Case{{"ifma_machine"}, kIfmaMachine, true, true},
        // The OS saves YMM but neither the opmask nor the ZMM registers (a
        // kernel booted without AVX-512, or a hypervisor that masks it).
        Case{{"ifma_without_zmm_state"}, with(kIfmaMachine, 0, 0, 0xe0), true, false},
        Case{{"ifma_without_opmask_state"}, with(kIfmaMachine, 0, 0, 1u << 5), true, false},
        Case{{"ifma_without_hi16_zmm_state"}, with(kIfmaMachine, 0, 0, 1u << 7), true, false},
        Case{{"ifma_without_ymm_state"}, with(kIfmaMachine, 0, 0, 1u << 2), false, false},
        // No OSXSAVE: the OS saves no extended state, and xgetbv faults; a
        // stale XCR0 value must not count.
        Case{{"ifma_without_osxsave"}, with(kIfmaMachine, kOsxsave, 0, 0), false, false},
        Case{{"ifma_without_avx"}, with(kIfmaMachine, kAvx, 0, 0), false, false},
        Case{{"avx512f_without_ifma"}, with(kIfmaMachine, 0, kIfma, 0), true, false},
        Case{{"ifma_without_avx512f"}, with(kIfmaMachine, 0, kAvx512f, 0), true, false},
        Case{{"avx512_without_avx2"}, with(kIfmaMachine, 0, kAvx2, 0), false, false},
        // Leaf 7 is not there to read: whatever its register held means nothing.
        Case{{"max_leaf_below_7"}, CpuidRegisters{6, kIfmaMachine.leaf1_ecx, kIfmaMachine.leaf7_ebx, 0x602e7},
             false, false},
        Case{{"haswell"}, kHaswell, true, false},
        Case{{"haswell_without_osxsave"}, with(kHaswell, kOsxsave, 0, 0), false, false},
        Case{{"haswell_os_saves_sse_only"}, with(kHaswell, 0, 0, 1u << 2), false, false},
        Case{{"nothing"}, CpuidRegisters{}, false, false}),
    test::case_name);

// Whether /proc/cpuinfo lists the flag: Linux leaves out the AVX-512 flags when
// it does not enable their state, so it is a reference apart from the code.
bool cpu_lists(const std::string& flag) {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string word; words >> word;)
            if (word == flag) return true;
        return false;
    }
    return false;
}

TEST(ThisProcessor, AgreesWithProcCpuinfo) {
    if (!std::ifstream("/proc/cpuinfo")) GTEST_SKIP() << "no /proc/cpuinfo";
    const CpuFeatures& f = cpu_features();
    EXPECT_EQ(f.avx2, cpu_lists("avx2"));
    EXPECT_EQ(f.avx512ifma, cpu_lists("avx2") && cpu_lists("avx512f") && cpu_lists("avx512ifma"));
}

}  // namespace
}  // namespace kestrova::backend
