#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "okvs/cell.h"
#include "panic/panic.h"
#include "random/generator.h"

namespace kestrova::okvs::testing {

// A generator with a fixed key; two made from the same byte give the same stream
// (for the first 64 KiB, after which it re-keys from the system).
inline kestrova::random::Generator fixed_generator(uint8_t seed) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(seed + 7 * i);
    return kestrova::random::Generator(key);
}

inline Cell cell_of(uint64_t tag) {
    Cell c;
    for (std::size_t i = 0; i < kCellBytes; ++i) c[i] = uint8_t((tag >> (8 * (i % 8))) ^ (i * 29));
    return c;
}

template <class... Cells>
Cell xor_of(Cell first, const Cells&... rest) {
    (xor_into(first, rest), ...);
    return first;
}

// The message of the panic f raises; fails the test if it returns normally.
template <class F>
std::string panic_message(F&& f) {
    try {
        f();
    } catch (const kestrova::Panic& p) {
        return p.message();
    }
    ADD_FAILURE() << "expected a panic";
    return {};
}

}  // namespace kestrova::okvs::testing
