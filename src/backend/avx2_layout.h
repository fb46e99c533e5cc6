// The AVX2 backend's data layouts: field elements in ten limbs, four lanes
// side by side, and the fixed-base tables arranged for them. Plain code,
// compiled without AVX2 and defined out of line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/avx2_field.h"
#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar.h"
#include "group/scalar_mul.h"

namespace kestrova::backend::avx2_lanes {

// Carried ten limbs from the serial limbs, and back (serial limbs below 2^52).
void fe_to_limbs(const field::Fe& f, uint64_t out[kLimbs]);
field::Fe fe_from_limbs(const uint64_t in[kLimbs]);

// Items in the block of lanes that starts at item `start` of n.
size_t block_items(size_t n, size_t start);
// The item a lane takes: a short last block repeats its first item in the spare lanes.
size_t lane_item(size_t start, size_t m, int lane);

struct Stage : FeLanes {
    void put(int lane, const field::Fe& f);
    field::Fe get(int lane) const;
};

struct PointStage {
    Stage X, Y, Z, T;
    void put(int lane, const group::Point& p);
    group::Point get(int lane) const;
};

inline constexpr int kEntryWords = 3 * kLimbs;

// A fixed-base table for the lanes: 256 entries of (y + x, y - x, 2dxy), ten words each.
struct Table {
    alignas(32) uint64_t w[group::kTableEntries][kEntryWords];
    void fill(const group::PointNiels* entries);
};

// Signed radix-16 digits, digit i of lane k at [i][k].
struct Digits {
    alignas(32) int64_t d[64][kLanes];
    void put(int lane, const group::Scalar& s);
};

// One multiplication s * B spread over the lanes: lane k takes rows 8k .. 8k + 7
// of the table, step t its row 8k + t. Entry j of step t, word w, lane k.
inline constexpr int kSplitSteps = 32 / kLanes;
struct SplitTable {
    alignas(32) uint64_t w[kSplitSteps][8][kEntryWords][kLanes];
};
void fill_split(SplitTable& split, const Table& rows);

// The digits of one scalar in the same arrangement: row i takes digits 2i and 2i + 1.
// Wiped when done.
struct SplitDigits {
    alignas(32) int64_t even[kSplitSteps][kLanes];
    alignas(32) int64_t odd[kSplitSteps][kLanes];
    explicit SplitDigits(const group::Scalar& s);
    ~SplitDigits();
};

const Table& base_table();
const SplitTable& base_split_table();

}  // namespace kestrova::backend::avx2_lanes
