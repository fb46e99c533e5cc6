// The constant-time vocabulary: a secret yes/no (Choice), its all-ones or
// all-zeros word (Mask) with select/cmov, and a value that may be absent
// without the absence being branched on (CtOption). A Choice never turns into
// a bool by itself: declassify() does so where the outcome may be public, and
// to_bool_vartime() where it was computed from public data only.
#pragma once

#include <cstddef>
#include <cstdint>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KESTROVA_HAVE_MEMCHECK 1
#endif

namespace kestrova::ct {

// Hides a word from the optimiser so that mask arithmetic stays branch-free.
inline uint64_t barrier(uint64_t x) {
    __asm__("" : "+r"(x));
    return x;
}

class Mask {
public:
    constexpr Mask() = default;
    static Mask from_word(uint64_t all_or_nothing) { return Mask(barrier(all_or_nothing)); }
    uint64_t word() const { return m_; }
    // a when set, b otherwise.
    uint64_t select(uint64_t a, uint64_t b) const { return b ^ (m_ & (a ^ b)); }
    // dst = src when set.
    void cmov(uint64_t& dst, uint64_t src) const { dst ^= m_ & (dst ^ src); }
    void cswap(uint64_t& a, uint64_t& b) const {
        const uint64_t x = m_ & (a ^ b);
        a ^= x;
        b ^= x;
    }

private:
    constexpr explicit Mask(uint64_t m) : m_(m) {}
    uint64_t m_ = 0;
};

class Choice {
public:
    constexpr Choice() = default;
    // bit must be 0 or 1.
    static Choice from_bit(uint64_t bit) { return Choice(barrier(bit)); }
    static constexpr Choice yes() { return Choice(1); }
    static constexpr Choice no() { return Choice(0); }
    // 0 or 1, still secret: for arithmetic, never for a branch.
    uint64_t bit() const { return bit_; }
    Mask mask() const { return Mask::from_word(uint64_t(0) - bit_); }

    friend Choice operator&(Choice a, Choice b) { return Choice(a.bit_ & b.bit_); }
    friend Choice operator|(Choice a, Choice b) { return Choice(a.bit_ | b.bit_); }
    friend Choice operator^(Choice a, Choice b) { return Choice(a.bit_ ^ b.bit_); }
    friend Choice operator!(Choice a) { return Choice(a.bit_ ^ 1); }

private:
    constexpr explicit Choice(uint64_t bit) : bit_(bit) {}
    uint64_t bit_ = 0;
};

// a == b for any words.
inline Choice eq(uint64_t a, uint64_t b) {
    const uint64_t x = a ^ b;
    return Choice::from_bit(((x | (uint64_t(0) - x)) >> 63) ^ 1);
}

inline Choice is_zero(uint64_t x) { return eq(x, 0); }

// a when c, b otherwise.
inline uint64_t select(Choice c, uint64_t a, uint64_t b) { return c.mask().select(a, b); }

// A value that is meaningful only when `present`; both are computed either way.
template <class T>
struct CtOption {
    T value;
    Choice present;
};

// The outcome becomes public here: the one kind of place where code may
// branch on a value computed from secrets. Tells memcheck so.
inline bool declassify(Choice c) {
    uint64_t bit = c.bit();
#ifdef KESTROVA_HAVE_MEMCHECK
    VALGRIND_MAKE_MEM_DEFINED(&bit, sizeof bit);
#endif
    return bit != 0;
}

// For choices computed from public data only (decoding public encodings,
// checking public keys); the constant-time test catches any secret input.
inline bool to_bool_vartime(Choice c) { return c.bit() != 0; }

}  // namespace kestrova::ct
