// Curve arithmetic against libsodium's ed25519 primitives, same run, one thread.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstring>
#include <vector>

#include "backend/backend.h"
#include "curve/batch.h"
#include "curve/multiply.h"
#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar_mul.h"
#include "point_conversion/elligator.h"

#if defined(__x86_64__)
#include "backend/avx2_field.h"
#include "backend/avx2_layout.h"
#endif

namespace {

using namespace kestrova::field;
using namespace kestrova::group;
using namespace kestrova::curve;
using kestrova::backend::Backend;
namespace pc = kestrova::point_conversion;

struct Inputs {
    Scalar s;
    Point p;
    uint8_t p_enc[32];
    uint8_t q_enc[32];
    Fe a, b;
    Inputs() {
        uint8_t wide[64];
        randombytes_buf(wide, 64);
        s = scalar_from_wide(wide);
        p = mul_base(s);
        compress(p, p_enc);
        compress(dbl(p), q_enc);
        a = fe_from_bytes(p_enc);
        b = fe_from_bytes(q_enc);
    }
};

const Inputs& inputs() {
    static const Inputs in;
    return in;
}

void BM_fe_mul(benchmark::State& st) {
    Fe x = inputs().a;
    const Fe y = inputs().b;
    for (auto _ : st) {
        x = fe_mul(x, y);
        benchmark::DoNotOptimize(x);
    }
    st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_fe_mul);

// Four independent products at a time, per product: the serial code's
// throughput, to set against the four lanes of the AVX2 field below.
void BM_fe_mul_4chains(benchmark::State& st) {
    Fe x[4] = {inputs().a, inputs().b, inputs().a, inputs().b};
    const Fe y = inputs().b;
    for (auto _ : st) {
        for (Fe& xi : x) xi = fe_mul(xi, y);
        benchmark::DoNotOptimize(x);
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * 4);
}
BENCHMARK(BM_fe_mul_4chains);

#if defined(__x86_64__)
namespace avx2 = kestrova::backend::avx2_lanes;

KESTROVA_AVX2 void avx2_mul_chain(avx2::Stage& x, const avx2::Stage& y, int count) {
    avx2::F a = avx2::f_load(x);
    const avx2::F b = avx2::f_load(y);
    for (int i = 0; i < count; ++i) avx2::f_mul(a, a, b);
    avx2::f_store(x, a);
}

KESTROVA_AVX2 void avx2_mul_chain2(avx2::Stage& x, const avx2::Stage& y, int count) {
    avx2::F2 a{avx2::f_load(x), avx2::f_load(y)};
    const avx2::F2 b{avx2::f_load(y), avx2::f_load(x)};
    for (int i = 0; i < count; ++i) avx2::f_mul(a, a, b);
    avx2::f_store(x, a.a);
}

KESTROVA_AVX2 void avx2_sq_chain(avx2::Stage& x, int count) {
    avx2::F a = avx2::f_load(x);
    for (int i = 0; i < count; ++i) avx2::f_sq(a, a);
    avx2::f_store(x, a);
}

// Per element: one chain of products in four lanes, or two chains (eight elements).
void BM_fe_mul_avx2_lanes(benchmark::State& st) {
    if (!__builtin_cpu_supports("avx2")) {
        st.SkipWithError("no AVX2");
        return;
    }
    avx2::Stage x, y;
    for (int lane = 0; lane < avx2::kLanes; ++lane) x.put(lane, inputs().a), y.put(lane, inputs().b);
    const int chains = int(st.range(0));
    for (auto _ : st) {
        if (chains == 1) avx2_mul_chain(x, y, 64); else avx2_mul_chain2(x, y, 64);
        benchmark::DoNotOptimize(x);
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * 64 * avx2::kLanes * chains);
}
BENCHMARK(BM_fe_mul_avx2_lanes)->Arg(1)->Arg(2);

void BM_fe_square_avx2_lanes(benchmark::State& st) {
    if (!__builtin_cpu_supports("avx2")) {
        st.SkipWithError("no AVX2");
        return;
    }
    avx2::Stage x;
    for (int lane = 0; lane < avx2::kLanes; ++lane) x.put(lane, inputs().a);
    for (auto _ : st) {
        avx2_sq_chain(x, 64);
        benchmark::DoNotOptimize(x);
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * 64 * avx2::kLanes);
}
BENCHMARK(BM_fe_square_avx2_lanes);
#endif

void BM_fe_square(benchmark::State& st) {
    Fe x = inputs().a;
    for (auto _ : st) {
        x = fe_square(x);
        benchmark::DoNotOptimize(x);
    }
    st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_fe_square);

void BM_fe_invert(benchmark::State& st) {
    Fe x = inputs().a;
    for (auto _ : st) {
        x = fe_invert(x);
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(BM_fe_invert);

void BM_fe_sqrt_ratio(benchmark::State& st) {
    const Fe u = inputs().a, v = inputs().b;
    for (auto _ : st) benchmark::DoNotOptimize(fe_sqrt_ratio(u, v));
}
BENCHMARK(BM_fe_sqrt_ratio);

void BM_compress(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        compress(inputs().p, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_compress);

void BM_compress_batch64(benchmark::State& st) {
    std::vector<Point> pts(64, inputs().p);
    std::vector<uint8_t> out(64 * 32);
    for (auto _ : st) {
        compress_all(pts, out);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * 64);
}
BENCHMARK(BM_compress_batch64);

void BM_decompress(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(decompress_vartime(inputs().p_enc));
}
BENCHMARK(BM_decompress);

void BM_add(benchmark::State& st) {
    Point x = inputs().p;
    const Point y = dbl(x);
    for (auto _ : st) {
        x = add(x, y);
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(BM_add);

void BM_mul_base(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(mul_base(inputs().s));
}
BENCHMARK(BM_mul_base);

// Bytes in, bytes out: the same work as libsodium's call below.
void BM_mul_base_compress(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        compress(mul_base(inputs().s), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_mul_base_compress);

// The portable loop, for comparison with the backend's single multiplication above.
void BM_mul_base_serial_compress(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        compress(mul_table(base_table(), inputs().s), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_mul_base_serial_compress);

void BM_fixed_table_mul(benchmark::State& st) {
    const FixedBaseTable table(inputs().p);
    for (auto _ : st) benchmark::DoNotOptimize(table.mul(inputs().s));
}
BENCHMARK(BM_fixed_table_mul);

void BM_fixed_table_build(benchmark::State& st) {
    for (auto _ : st) {
        FixedBaseTable table(inputs().p);
        benchmark::DoNotOptimize(&table);
    }
}
BENCHMARK(BM_fixed_table_build);

void BM_mul(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(mul(inputs().p, inputs().s));
}
BENCHMARK(BM_mul);

// decompress + multiply + compress, the same work as libsodium's call below.
void BM_mul_bytes(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        const Point p = *decompress_vartime(inputs().p_enc);
        compress(mul(p, inputs().s), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_mul_bytes);

void BM_add_bytes(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        compress(add(*decompress_vartime(inputs().p_enc), *decompress_vartime(inputs().q_enc)), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_add_bytes);

void BM_representative_to_point(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(pc::representative_to_point(inputs().p_enc));
}
BENCHMARK(BM_representative_to_point);

void BM_point_to_representative(benchmark::State& st) {
    // A point that has a representative, so the whole path runs.
    Point p = inputs().p;
    while (!pc::point_to_representative_with_bit(p, 0)) p = add(p, inputs().p);
    for (auto _ : st) benchmark::DoNotOptimize(pc::point_to_representative(p));
}
BENCHMARK(BM_point_to_representative);

// ---- batch kernels, per item; argument 0 = serial backend, 1 = the chosen one ----

const Backend& backend_arg(benchmark::State& st) {
    const Backend& b = st.range(0) == 0 ? kestrova::backend::serial() : kestrova::backend::chosen();
    st.SetLabel(b.name());
    return b;
}

constexpr size_t kBatch = 64;

struct BatchInputs {
    std::vector<Point> points;
    std::vector<Scalar> scalars;
    std::vector<uint8_t> encodings;
    BatchInputs() : points(kBatch), scalars(kBatch), encodings(32 * kBatch) {
        for (size_t i = 0; i < kBatch; ++i) {
            uint8_t wide[64];
            randombytes_buf(wide, 64);
            scalars[i] = scalar_from_wide(wide);
            points[i] = mul_base(scalars[i]);
            compress(points[i], encodings.data() + 32 * i);
        }
    }
};

const BatchInputs& batch_inputs() {
    static const BatchInputs in;
    return in;
}

// Runs step once per iteration, with the memory at `kept` observable afterwards;
// kBatch items each.
template <class Step>
void batch_loop(benchmark::State& st, const void* kept, const Step& step) {
    for (auto _ : st) {
        step();
        benchmark::DoNotOptimize(kept);
    }
    st.SetItemsProcessed(int64_t(st.iterations() * kBatch));
}

void BM_batch_mul_each(benchmark::State& st) {
    const Backend& b = backend_arg(st);
    std::vector<Point> out(kBatch);
    batch_loop(st, out.data(), [&] {
        b.mul_each(batch_inputs().points.data(), batch_inputs().scalars.data(), out.data(), kBatch);
    });
}
BENCHMARK(BM_batch_mul_each)->Arg(0)->Arg(1);

void BM_batch_mul_base_each(benchmark::State& st) {
    const Backend& b = backend_arg(st);
    std::vector<Point> out(kBatch);
    batch_loop(st, out.data(), [&] { b.mul_base_each(batch_inputs().scalars.data(), out.data(), kBatch); });
}
BENCHMARK(BM_batch_mul_base_each)->Arg(0)->Arg(1);

void BM_batch_mul_table_each(benchmark::State& st) {
    const Backend& b = backend_arg(st);
    PointNiels entries[kTableEntries];
    fill_table(inputs().p, entries);
    const auto table = b.prepare_table(entries);
    std::vector<Point> out(kBatch);
    batch_loop(st, out.data(), [&] { table->mul_each(batch_inputs().scalars.data(), out.data(), kBatch); });
}
BENCHMARK(BM_batch_mul_table_each)->Arg(0)->Arg(1);

void BM_batch_decompress_all(benchmark::State& st) {
    const Backend& b = backend_arg(st);
    std::vector<Point> pts(kBatch);
    std::vector<uint8_t> ok(kBatch);
    batch_loop(st, pts.data(),
               [&] { b.decompress_all(batch_inputs().encodings.data(), pts.data(), ok.data(), kBatch); });
}
BENCHMARK(BM_batch_decompress_all)->Arg(0)->Arg(1);

// Bytes in, bytes out, one key for all (the work of a partial decryption).
void BM_batch_decompress_mul_all_compress(benchmark::State& st) {
    const Backend& b = backend_arg(st);
    std::vector<Point> pts(kBatch), out(kBatch);
    std::vector<uint8_t> ok(kBatch), enc(kPointBytes * kBatch);
    batch_loop(st, enc.data(), [&] {
        b.decompress_all(batch_inputs().encodings.data(), pts.data(), ok.data(), kBatch);
        b.mul_all(pts.data(), inputs().s, out.data(), kBatch);
        b.compress_all(out.data(), enc.data(), kBatch);
    });
}
BENCHMARK(BM_batch_decompress_mul_all_compress)->Arg(0)->Arg(1);

// ---- libsodium, the peer ----

void BM_sodium_scalarmult_base_noclamp(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        benchmark::DoNotOptimize(crypto_scalarmult_ed25519_base_noclamp(out, inputs().s.bytes));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_sodium_scalarmult_base_noclamp);

void BM_sodium_scalarmult_noclamp(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        benchmark::DoNotOptimize(crypto_scalarmult_ed25519_noclamp(out, inputs().s.bytes, inputs().p_enc));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_sodium_scalarmult_noclamp);

void BM_sodium_core_add(benchmark::State& st) {
    uint8_t out[32];
    for (auto _ : st) {
        benchmark::DoNotOptimize(crypto_core_ed25519_add(out, inputs().p_enc, inputs().q_enc));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_sodium_core_add);

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
