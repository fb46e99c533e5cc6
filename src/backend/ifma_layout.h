// The IFMA backend's data layouts: the serial code's radix-2^51 limbs, eight
// lanes side by side, and the fixed-base tables arranged for them. Plain code, compiled
// without AVX-512 and defined out of line, so that the vector kernels never
// instantiate any of it under their target.
#pragma once

#include <cstddef>
#include <cstdint>

#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar.h"
#include "group/scalar_mul.h"

namespace kestrova::backend::ifma_layout {

inline constexpr int kLanes = 8;

// Limbs for the vector kernels: carried once, so every limb is below 2^52
// (all the multiplier reads) with room for the kernels' subtraction.
void fe_to_lanes(const field::Fe& f, uint64_t out[5]);

// Items in the block of lanes that starts at item `start` of n.
size_t block_items(size_t n, size_t start);
// The item a lane takes: a short last block repeats its first item in the spare lanes.
size_t lane_item(size_t start, size_t m, int lane);

// Lane-major staging of field elements: limb k of lane i at [k][i].
struct Stage {
    alignas(64) uint64_t limb[5][kLanes];
    void put(int lane, const field::Fe& f);
    field::Fe get(int lane) const;
};

struct PointStage {
    Stage X, Y, Z, T;
    void put(int lane, const group::Point& p);
    group::Point get(int lane) const;
};

// A fixed-base table for the lanes: 256 entries of (y + x, y - x, 2dxy), 15 words each.
struct Table51 {
    alignas(64) uint64_t w[group::kTableEntries][15];
    void fill(const group::PointNiels* entries);
};

// Signed radix-16 digits, digit i of lane k at [i][k].
struct Digits {
    alignas(64) int64_t d[64][kLanes];
    void put(int lane, const group::Scalar& s);
};

// One multiplication s * B spread over the lanes: lane k takes rows 4k .. 4k + 3
// of the base table, step t its row 4k + t. Entry j of step t, word w, lane k.
inline constexpr int kSplitSteps = 32 / kLanes;
struct SplitTable51 {
    alignas(64) uint64_t w[kSplitSteps][8][15][kLanes];
};
void fill_split(SplitTable51& split, const Table51& rows);

// The digits of one scalar in the same arrangement: row i takes digits 2i and 2i + 1.
// Wiped when done.
struct SplitDigits {
    alignas(64) int64_t even[kSplitSteps][kLanes];
    alignas(64) int64_t odd[kSplitSteps][kLanes];
    explicit SplitDigits(const group::Scalar& s);
    ~SplitDigits();
};

const Table51& base_table51();
const SplitTable51& base_split_table51();


}  // namespace kestrova::backend::ifma_layout
