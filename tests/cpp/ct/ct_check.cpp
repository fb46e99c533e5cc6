// The arithmetic of one backend (KESTROVA_BACKEND: serial, the default, or
// avx2; valgrind cannot run AVX-512) on secrets that memcheck treats as undefined: a branch
// or a memory index that depends on one is reported ("depends on uninitialised
// value", "use of uninitialised value"), and valgrind's --error-exitcode fails
// the run. Each result is declassified afterwards and compared with the same
// computation on public inputs. `--probe` runs a double-and-add that branches
// on the scalar instead: the check must reject it.
#include <valgrind/memcheck.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "curve/batch.h"
#include "curve/multiply.h"
#include "curve_helpers.h"
#include "group/point_internal.h"
#include "group/scalar_mul.h"
#include "keys/keys.h"
#include "operations/row_values.h"
#include "point_conversion/elligator.h"
#include "random/chacha.h"
#include "random/generator.h"

namespace {

using namespace kestrova;
using group::Point;
using group::Scalar;

int failures = 0;

template <class T>
void make_secret(T& x) {
    VALGRIND_MAKE_MEM_UNDEFINED(&x, sizeof x);
}

// A copy that memcheck treats as undefined, as it does the secrets.
template <class T>
T secret(T x) {
    make_secret(x);
    return x;
}

template <class T>
T declassified(T x) {
    VALGRIND_MAKE_MEM_DEFINED(&x, sizeof x);
    return x;
}

std::array<uint8_t, 32> encoded(const Point& p) { return declassified(test::bytes_of(p)); }

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "wrong result: %s\n", what);
        ++failures;
    }
}

void expect_point(const Point& secret_result, const Point& expected, const char* what) {
    expect(encoded(secret_result) == test::bytes_of(expected), what);
}

constexpr int kRounds = 2;

void multiplications(test::TestRng& rng) {
    const backend::Backend& b = backend::chosen();
    const Point pk = group::mul_point(test::base_point(), test::random_255(rng));
    group::PointNiels entries[group::kTableEntries];
    group::fill_table(pk, entries);
    const auto table = b.prepare_table(entries);
    for (int i = 0; i < kRounds; ++i) {
        const Scalar s = test::random_255(rng);
        const Point p = group::add(group::mul_point(test::base_point(), test::random_255(rng)), test::order8_point());
        const Point expected_p = test::reference_mul(p, s);
        const Point expected_b = test::reference_mul(test::base_point(), s);
        const Point expected_pk = test::reference_mul(pk, s);
        const Scalar ss = secret(s);
        const Point sp = secret(p);
        Point out;
        b.mul_each(&sp, &ss, &out, 1);
        expect_point(out, expected_p, "variable base, secret point and scalar");
        b.mul_cleared_each(&sp, pk, &ss, &out, 1);
        expect_point(out, test::reference_mul(group::add(group::clear_cofactor(p), pk), s), "cofactor cleared");
        expect_point(b.mul_base_one(ss), expected_b, "base table");
        b.mul_base_each(&ss, &out, 1);
        expect_point(out, expected_b, "base table, batch");
        expect_point(table->mul(ss), expected_pk, "run-time table");
        table->mul_each(&ss, &out, 1);
        expect_point(out, expected_pk, "run-time table, batch");
    }
}

void secret_keys(test::TestRng& rng) {
    for (int i = 0; i < kRounds; ++i) {
        std::vector<uint8_t> key(32);
        rng.fill(key.data(), key.size());
        const Point p = group::mul_point(test::base_point(), test::random_255(rng));
        Scalar k_public;
        std::memcpy(k_public.bytes, key.data(), 32);
        k_public.bytes[31] &= 0x7f;
        const Point expected = test::reference_mul(p, k_public);
        VALGRIND_MAKE_MEM_UNDEFINED(key.data(), key.size());
        const Scalar k = keys::decode_secret_scalar(key);
        expect_point(curve::mul(p, k), expected, "decoded key, one point");
        Point out;
        curve::mul_all({&p, 1}, k, {&out, 1});
        expect_point(out, expected, "decoded key, batch");
    }
}

void random_scalars(test::TestRng& rng) {
    for (int i = 0; i < kRounds; ++i) {
        uint8_t wide[64];
        rng.fill(wide, sizeof wide);
        const Scalar expected = group::scalar_from_wide(wide);
        make_secret(wide);
        expect(std::memcmp(declassified(group::scalar_from_wide(wide)).bytes, expected.bytes, 32) == 0,
               "wide reduction");

        uint8_t key[32];
        rng.fill(key, sizeof key);
        random::Generator reference(key);
        const Scalar expected_r = group::random_scalar(reference);
        make_secret(key);
        random::Generator g(key);
        const Scalar r = group::random_scalar(g);
        expect(std::memcmp(declassified(r).bytes, expected_r.bytes, 32) == 0, "random scalar");
    }
}

void elligator(test::TestRng& rng) {
    int with_representative = 0;
    for (int i = 0; i < 4 * kRounds; ++i) {
        const Scalar s = test::random_255(rng);
        const uint32_t bit = uint32_t(rng.next() & 1);
        const Point p = group::mul_point(test::base_point(), s);
        const auto expected = point_conversion::point_to_representative_with_bit(p, bit);
        const Scalar ss = secret(s);
        const uint32_t sbit = secret(bit);
        const Point sp = group::mul_point(test::base_point(), ss);
        const auto rep = point_conversion::point_to_representative_with_bit(sp, sbit);
        // Whether there is a representative was declassified inside; the bytes were not.
        expect(rep.has_value() == expected.has_value(), "representative presence");
        if (rep && expected) {
            expect(declassified(*rep) == *expected, "representative bytes");
            ++with_representative;
        }
    }
    expect(with_representative > 0, "some point has a representative");

    // A bank's whole row encryption, with a secretly keyed generator.
    const Point pk = group::mul_point(test::base_point(), test::random_255(rng));
    const curve::FixedBaseTable pk_table(pk);
    uint8_t key[32];
    rng.fill(key, sizeof key);
    random::Generator reference(key);
    std::array<operations::RowValue, 3> expected, values;
    operations::encrypt_row_values(pk_table, expected.data(), expected.size(), reference);
    make_secret(key);
    random::Generator g(key);
    operations::encrypt_row_values(pk_table, values.data(), values.size(), g);
    expect(declassified(values) == expected, "row values");
}

void chacha(test::TestRng& rng) {
    uint32_t in[16], expected[16], out[16];
    for (auto& w : in) w = uint32_t(rng.next());
    random::chacha_block(in, expected, 12);
    make_secret(in);
    random::chacha_block(in, out, 12);
    expect(std::memcmp(declassified(std::to_array(out)).data(), expected, sizeof out) == 0, "chacha block");

    uint8_t key[32];
    rng.fill(key, sizeof key);
    uint32_t expected4[64], out4[64];
    random::chacha_blocks4(key, 7, expected4, 12);
    make_secret(key);
    random::chacha_blocks4(key, 7, out4, 12);
    expect(std::memcmp(declassified(std::to_array(out4)).data(), expected4, sizeof out4) == 0, "chacha blocks4");
}

// The negative control: a textbook double-and-add on a secret scalar.
void probe(test::TestRng& rng) {
    Scalar s = test::random_255(rng);
    make_secret(s);
    encoded(test::reference_mul(test::base_point(), s));
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("KESTROVA_BACKEND") == nullptr) setenv("KESTROVA_BACKEND", "serial", 1);
    const std::string wanted = std::getenv("KESTROVA_BACKEND");
    if (wanted == "avx2" && backend::avx2() == nullptr) {
        std::printf("skipped: no AVX2 on this processor\n");
        return 0;
    }
    if (wanted != "serial" && wanted != "avx2") {
        std::fprintf(stderr, "valgrind runs the serial and the AVX2 backends only, not %s\n", wanted.c_str());
        return 1;
    }
    if (std::string(backend::chosen().name()) != wanted) {
        std::fprintf(stderr, "the %s backend was not chosen\n", wanted.c_str());
        return 1;
    }
    if (!RUNNING_ON_VALGRIND) std::fprintf(stderr, "note: not under valgrind, only the results are checked\n");
    test::TestRng rng{0x5eed};
    if (argc > 1 && std::string(argv[1]) == "--probe") {
        probe(rng);
        return 0;
    }
    multiplications(rng);
    secret_keys(rng);
    random_scalars(rng);
    elligator(rng);
    chacha(rng);
    std::printf("%d wrong results\n", failures);
    return failures == 0 ? 0 : 1;
}
