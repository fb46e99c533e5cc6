// Peak resident memory of one paxos_encode beyond its inputs.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_inputs.h"
#include "okvs/paxos.h"
#include "okvs/encoder.h"
#include "okvs/store_bytes.h"

namespace {

long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s N\n", argv[0]);
        return 2;
    }
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    std::vector<std::string> keys;
    std::vector<kestrova::okvs::Cell> values;
    make_bench_pairs(n, keys, values);
    kestrova::okvs::random_cell();  // the generator exists before the measurement

    // Reset the high-water mark to the current resident size.
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long before = status_kib("VmRSS");
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    kestrova::okvs::EncodeStats stats;
    kestrova::okvs::PaxosStore store = kestrova::okvs::paxos_encode(keys, values, kestrova::random::thread_generator(), &stats);
    const auto t1 = std::chrono::steady_clock::now();
    const std::clock_t c1 = std::clock();
    const long peak = status_kib("VmHWM");
    const double store_mb = double(kestrova::okvs::kMinStoreBytes + kestrova::okvs::kCellBytes * store.sparse.size()) / 1e6;
    const double extra_mb = double(peak - before) * 1024 / 1e6;
    std::printf("n=%zu attempts=%llu encode=%.3f s cpu=%.3f s store=%.1f MB peak_extra=%.1f MB ratio=%.2f\n", n,
                (unsigned long long)stats.attempts, std::chrono::duration<double>(t1 - t0).count(),
                double(c1 - c0) / CLOCKS_PER_SEC, store_mb,
                extra_mb, extra_mb / store_mb);
    return 0;
}
