#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "field/field.h"
#include "group/point.h"
#include "group/scalar.h"

namespace kestrova::test {

inline std::array<uint8_t, 32> hex32(const char* hex) {
    std::array<uint8_t, 32> out{};
    for (int i = 0; i < 32; ++i) out[i] = uint8_t(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    return out;
}

inline std::array<uint8_t, 32> bytes_of(const field::Fe& f) {
    std::array<uint8_t, 32> out;
    field::fe_to_bytes(out.data(), f);
    return out;
}

inline std::array<uint8_t, 32> bytes_of(const group::Point& p) {
    std::array<uint8_t, 32> out;
    group::compress(p, out.data());
    return out;
}

inline group::Scalar scalar_u64(uint64_t v) {
    group::Scalar s{};
    for (int i = 0; i < 8; ++i) s.bytes[i] = uint8_t(v >> (8 * i));
    return s;
}

inline group::Scalar scalar_hex(const char* hex) {
    group::Scalar s;
    const auto b = hex32(hex);
    std::memcpy(s.bytes, b.data(), 32);
    return s;
}

// Simple deterministic bytes for test inputs.
struct TestRng {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    void fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(next() >> 32);
    }
};

inline const char* kBaseHex = "5866666666666666666666666666666666666666666666666666666666666666";
// The group order, little-endian.
inline const char* kOrderHex = "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010";

inline group::Point base_point() { return *group::decompress_vartime(hex32(kBaseHex).data()); }

inline group::Scalar random_255(TestRng& rng) {
    group::Scalar s;
    rng.fill(s.bytes, 32);
    s.bytes[31] &= 0x7f;
    return s;
}

// A point of order 8: mixed with B it gives points of order 8 * l.
inline group::Point order8_point() {
    return *group::decompress_vartime(hex32("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05").data());
}

// Double-and-add over the 255 bits, the reference for the windowed routines.
inline group::Point reference_mul(const group::Point& p, const group::Scalar& s) {
    group::Point r = group::identity();
    for (int bit = 254; bit >= 0; --bit) {
        r = group::dbl(r);
        if ((s.bytes[bit / 8] >> (bit % 8)) & 1) r = group::add(r, p);
    }
    return r;
}

}  // namespace kestrova::test
