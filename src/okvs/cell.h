// The 64-byte cell that the store holds, combined by bytewise XOR.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ct/choice.h"
#include "random/generator.h"

namespace kestrova::okvs {

inline constexpr std::size_t kCellBytes = 64;
inline constexpr std::size_t kDenseCells = 32;

using Cell = std::array<uint8_t, kCellBytes>;

// Word-wise so that the compiler turns it into a few vector operations.
inline void xor_into(Cell& target, const Cell& other) {
    for (std::size_t w = 0; w < kCellBytes; w += 8) {
        uint64_t a, b;
        std::memcpy(&a, target.data() + w, 8);
        std::memcpy(&b, other.data() + w, 8);
        a ^= b;
        std::memcpy(target.data() + w, &a, 8);
    }
}

inline Cell xor_cells(Cell a, const Cell& b) {
    xor_into(a, b);
    return a;
}

// XORs into target every dense cell whose bit is set in the low 32 bits of mask.
// Every cell is read and combined under an all-ones or all-zeros word, so neither
// the time nor the memory accessed depends on the mask.
inline void xor_dense_selection(Cell& target, const Cell* dense, uint64_t mask) {
    uint64_t acc[kCellBytes / 8];
    std::memcpy(acc, target.data(), kCellBytes);
    for (std::size_t j = 0; j < kDenseCells; ++j) {
        const uint64_t take = ct::Choice::from_bit((mask >> j) & 1).mask().word();
        const uint8_t* cell = dense[j].data();
        for (std::size_t w = 0; w < kCellBytes / 8; ++w) {
            uint64_t word;
            std::memcpy(&word, cell + 8 * w, 8);
            acc[w] ^= word & take;
        }
    }
    std::memcpy(target.data(), acc, kCellBytes);
}

// 64 fresh bytes, drawn as two 32-byte blocks (first fills bytes 0..31).
inline Cell random_cell(kestrova::random::Generator& gen) {
    Cell c;
    gen.fill_bytes(c.data(), kCellBytes / 2);
    gen.fill_bytes(c.data() + kCellBytes / 2, kCellBytes / 2);
    return c;
}

Cell random_cell();  // from the calling thread's generator

}  // namespace kestrova::okvs
