#include "field/field.h"

#include <cstring>

namespace kestrova::field {

const Fe kFeD = {{0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff}};
const Fe kFeD2 = {{0x69b9426b2f159, 0x35050762add7a, 0x3cf44c0038052, 0x6738cc7407977, 0x2406d9dc56dff}};
const Fe kFeSqrtM1 = {{0x61b274a0ea0b0, 0xd5a5fc8f189d, 0x7ef5e9cbd0c60, 0x78595a6804c9e, 0x2b8324804fc1d}};
const Fe kFeMontA = {{486662, 0, 0, 0, 0}};
const Fe kFeMontNegA = {{0x7fffffff892e7, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff}};

Fe fe_canonical(const Fe& a) {
    // Two carry passes leave every limb below 2^51 and the value below 2^255.
    Fe h = fe_carry(fe_carry(a));
    // q = 1 exactly when h >= p: adding 19 carries out of bit 255.
    uint64_t q = (h.v[0] + 19) >> 51;
    q = (h.v[1] + q) >> 51;
    q = (h.v[2] + q) >> 51;
    q = (h.v[3] + q) >> 51;
    q = (h.v[4] + q) >> 51;
    h.v[0] += 19 * q;
    h.v[1] += h.v[0] >> 51; h.v[0] &= kLimbMask;
    h.v[2] += h.v[1] >> 51; h.v[1] &= kLimbMask;
    h.v[3] += h.v[2] >> 51; h.v[2] &= kLimbMask;
    h.v[4] += h.v[3] >> 51; h.v[3] &= kLimbMask;
    h.v[4] &= kLimbMask;
    return h;
}

void fe_to_bytes(uint8_t out[32], const Fe& a) {
    const Fe h = fe_canonical(a);
    const uint64_t w[4] = {
        h.v[0] | (h.v[1] << 51),
        (h.v[1] >> 13) | (h.v[2] << 38),
        (h.v[2] >> 26) | (h.v[3] << 25),
        (h.v[3] >> 39) | (h.v[4] << 12),
    };
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 8; ++j) out[8 * i + j] = uint8_t(w[i] >> (8 * j));
    }
}

static uint64_t load64(const uint8_t* p) {
    uint64_t r = 0;
    for (int j = 7; j >= 0; --j) r = (r << 8) | p[j];
    return r;
}

Fe fe_from_bytes(const uint8_t in[32]) {
    const uint64_t w0 = load64(in), w1 = load64(in + 8), w2 = load64(in + 16), w3 = load64(in + 24);
    return Fe{{
        w0 & kLimbMask,
        ((w0 >> 51) | (w1 << 13)) & kLimbMask,
        ((w1 >> 38) | (w2 << 26)) & kLimbMask,
        ((w2 >> 25) | (w3 << 39)) & kLimbMask,
        (w3 >> 12) & kLimbMask,
    }};
}

ct::Choice fe_is_negative(const Fe& a) { return ct::Choice::from_bit(fe_canonical(a).v[0] & 1); }

ct::Choice fe_is_zero(const Fe& a) {
    const Fe h = fe_canonical(a);
    return ct::is_zero(h.v[0] | h.v[1] | h.v[2] | h.v[3] | h.v[4]);
}

ct::Choice fe_equal(const Fe& a, const Fe& b) { return fe_is_zero(fe_sub(a, b)); }

Fe fe_abs(const Fe& a) { return fe_cneg(a, fe_is_negative(a)); }

// Shared head of the two exponentiation chains: returns a^(2^250 - 1) and a^11.
static Fe pow_2_250_minus_1(const Fe& a, Fe& a11) {
    const Fe a2 = fe_square(a);
    const Fe a9 = fe_mul(fe_square_n(a2, 2), a);
    a11 = fe_mul(a9, a2);
    const Fe e5 = fe_mul(fe_square(a11), a9);            // 2^5 - 1
    const Fe e10 = fe_mul(fe_square_n(e5, 5), e5);       // 2^10 - 1
    const Fe e20 = fe_mul(fe_square_n(e10, 10), e10);    // 2^20 - 1
    const Fe e40 = fe_mul(fe_square_n(e20, 20), e20);    // 2^40 - 1
    const Fe e50 = fe_mul(fe_square_n(e40, 10), e10);    // 2^50 - 1
    const Fe e100 = fe_mul(fe_square_n(e50, 50), e50);   // 2^100 - 1
    const Fe e200 = fe_mul(fe_square_n(e100, 100), e100);  // 2^200 - 1
    return fe_mul(fe_square_n(e200, 50), e50);           // 2^250 - 1
}

Fe fe_invert(const Fe& a) {
    Fe a11;
    const Fe e250 = pow_2_250_minus_1(a, a11);
    return fe_mul(fe_square_n(e250, 5), a11);  // 2^255 - 21 = p - 2
}

Fe fe_pow22523(const Fe& a) {
    Fe a11;
    const Fe e250 = pow_2_250_minus_1(a, a11);
    return fe_mul(fe_square_n(e250, 2), a);  // 2^252 - 3
}

void fe_sqrt_ratio_prepare(const Fe& u, const Fe& v, Fe& uv3, Fe& uv7) {
    const Fe v3 = fe_mul(fe_square(v), v);
    const Fe v7 = fe_mul(fe_square(v3), v);
    uv3 = fe_mul(u, v3);
    uv7 = fe_mul(u, v7);
}

SqrtRatio fe_sqrt_ratio_finish(const Fe& u, const Fe& v, const Fe& r_in) {
    Fe r = r_in;
    const Fe check = fe_mul(v, fe_square(r));
    const Fe neg_u = fe_neg(u);
    const ct::Choice correct = fe_equal(check, u);
    const ct::Choice flipped = fe_equal(check, neg_u);
    const ct::Choice flipped_i = fe_equal(check, fe_mul(neg_u, kFeSqrtM1));
    fe_cmov(r, fe_mul(r, kFeSqrtM1), flipped | flipped_i);
    return SqrtRatio{correct | flipped, fe_abs(r)};
}

SqrtRatio fe_sqrt_ratio(const Fe& u, const Fe& v) {
    Fe uv3, uv7;
    fe_sqrt_ratio_prepare(u, v, uv3, uv7);
    return fe_sqrt_ratio_finish(u, v, fe_mul(uv3, fe_pow22523(uv7)));
}

void fe_batch_invert(Fe* elements, size_t n, Fe* scratch) {
    if (n == 0) return;
    // scratch[i] = elements[0] * ... * elements[i]
    scratch[0] = elements[0];
    for (size_t i = 1; i < n; ++i) scratch[i] = fe_mul(scratch[i - 1], elements[i]);
    Fe acc = fe_invert(scratch[n - 1]);
    for (size_t i = n - 1; i > 0; --i) {
        const Fe inv = fe_mul(acc, scratch[i - 1]);
        acc = fe_mul(acc, elements[i]);
        elements[i] = inv;
    }
    elements[0] = acc;
}

}  // namespace kestrova::field
