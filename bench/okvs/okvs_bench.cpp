#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_inputs.h"
#include "okvs/paxos.h"
#include "okvs/encoder.h"

namespace {

void BM_Encode(benchmark::State& state) {
    std::vector<std::string> keys;
    std::vector<kestrova::okvs::Cell> values;
    make_bench_pairs(std::size_t(state.range(0)), keys, values);
    uint64_t attempts = 0, runs = 0;
    for (auto _ : state) {
        kestrova::okvs::EncodeStats stats;
        kestrova::okvs::PaxosStore store =
            kestrova::okvs::paxos_encode(keys, values, kestrova::random::thread_generator(), &stats);
        benchmark::DoNotOptimize(store.sparse.data());
        attempts += stats.attempts;
        ++runs;
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
    state.counters["attempts"] = double(attempts) / double(runs);
}
BENCHMARK(BM_Encode)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
    std::vector<std::string> keys;
    std::vector<kestrova::okvs::Cell> values;
    make_bench_pairs(std::size_t(state.range(0)), keys, values);
    const kestrova::okvs::PaxosStore store = kestrova::okvs::paxos_encode(keys, values);
    // Queries arrive as their own list, in an order unrelated to the store's input.
    std::vector<std::string> queries(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) queries[k] = keys[k * 7919 % keys.size()];
    std::size_t i = 0;
    for (auto _ : state) {
        kestrova::okvs::Cell c = kestrova::okvs::paxos_decode(store, queries[i]);
        benchmark::DoNotOptimize(c);
        if (++i == queries.size()) i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Decode)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
