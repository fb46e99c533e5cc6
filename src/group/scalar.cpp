#include "group/scalar.h"

#include <cstring>

#include "ct/choice.h"
#include "ct/wipe.h"
#include "field/field.h"

namespace kestrova::group {

using field::u128;

namespace {

// The group order and floor(2^512 / order), 64-bit limbs, least significant first.
constexpr uint64_t kOrder[4] = {0x5812631a5cf5d3ed, 0x14def9dea2f79cd6, 0x0, 0x1000000000000000};
constexpr uint64_t kMu[5] = {0xed9ce5a30a2c131b, 0x2106215d086329a7, 0xffffffffffffffeb, 0xffffffffffffffff,
                             0xf};

// r -= order when r >= order, for r below 2^320 in five limbs; constant-time.
void conditional_subtract_order(uint64_t r[5]) {
    uint64_t t[5];
    uint64_t borrow = 0;
    for (int i = 0; i < 5; ++i) {
        const uint64_t o = i < 4 ? kOrder[i] : 0;
        const u128 diff = u128(r[i]) - o - borrow;
        t[i] = uint64_t(diff);
        borrow = uint64_t(diff >> 64) & 1;
    }
    // borrow = 1 means r < order: keep r.
    const ct::Mask keep = ct::Choice::from_bit(borrow).mask();
    for (int i = 0; i < 5; ++i) r[i] = keep.select(r[i], t[i]);
}

}  // namespace

Scalar scalar_from_wide(const uint8_t wide[64]) {
    // Barrett reduction with base 2^64 and k = 4.
    uint64_t x[8];
    for (int i = 0; i < 8; ++i) {
        uint64_t w = 0;
        for (int j = 7; j >= 0; --j) w = (w << 8) | wide[8 * i + j];
        x[i] = w;
    }
    // q1 = x >> 192 (five limbs), q3 = (q1 * mu) >> 320.
    const uint64_t* q1 = x + 3;
    uint64_t q2[10] = {0};
    for (int i = 0; i < 5; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < 5; ++j) {
            const u128 t = u128(q1[i]) * kMu[j] + q2[i + j] + carry;
            q2[i + j] = uint64_t(t);
            carry = uint64_t(t >> 64);
        }
        q2[i + 5] = carry;
    }
    const uint64_t* q3 = q2 + 5;
    // r2 = (q3 * order) mod 2^320.
    uint64_t r2[5] = {0};
    for (int i = 0; i < 5; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < 4 && i + j < 5; ++j) {
            const u128 t = u128(q3[i]) * kOrder[j] + r2[i + j] + carry;
            r2[i + j] = uint64_t(t);
            carry = uint64_t(t >> 64);
        }
        if (i + 4 < 5) r2[i + 4] = carry;
    }
    // r = (x mod 2^320) - r2 mod 2^320; it is below 3 * order.
    uint64_t r[5];
    uint64_t borrow = 0;
    for (int i = 0; i < 5; ++i) {
        const u128 diff = u128(x[i]) - r2[i] - borrow;
        r[i] = uint64_t(diff);
        borrow = uint64_t(diff >> 64) & 1;
    }
    conditional_subtract_order(r);
    conditional_subtract_order(r);
    Scalar s;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 8; ++j) s.bytes[8 * i + j] = uint8_t(r[i] >> (8 * j));
    }
    ct::wipe(x, sizeof x);
    ct::wipe(q2, sizeof q2);
    ct::wipe(r2, sizeof r2);
    ct::wipe(r, sizeof r);
    return s;
}

Scalar random_scalar(kestrova::random::Generator& g) {
    uint8_t wide[64];
    g.fill_bytes(wide, sizeof wide);
    const Scalar s = scalar_from_wide(wide);
    ct::wipe(wide, sizeof wide);
    return s;
}

void scalar_signed_radix16(const Scalar& s, int8_t e[64]) {
    for (int i = 0; i < 32; ++i) {
        e[2 * i] = int8_t(s.bytes[i] & 15);
        e[2 * i + 1] = int8_t((s.bytes[i] >> 4) & 15);
    }
    e[63] &= 7;  // bit 255 is not part of the scalar
    // Digits 0..15 become -8..7 with a carry into the next; the top one keeps it.
    int8_t carry = 0;
    for (int i = 0; i < 63; ++i) {
        e[i] = int8_t(e[i] + carry);
        carry = int8_t((e[i] + 8) >> 4);
        e[i] = int8_t(e[i] - carry * 16);
    }
    e[63] = int8_t(e[63] + carry);
}

}  // namespace kestrova::group
