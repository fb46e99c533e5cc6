// The portable scalar multiplication loops: the reference for every backend
// and the body of the serial one. Every loop handles any scalar below 2^255 as
// the integer it is (no reduction modulo the group order), for any point of
// the full group, with no branch or memory index that depends on the scalar.
#pragma once

#include "group/point.h"
#include "group/scalar.h"

namespace kestrova::group {

struct PointNiels;  // point_internal.h

// Entries of a fixed-base table: row i, entry j holds (j + 1) * 256^i * P in
// affine form, row by row.
inline constexpr int kTableEntries = 256;

// s * P for any point P (signed radix-16 window over the multiples 1..8).
Point mul_point(const Point& p, const Scalar& s);

// s * P from the kTableEntries entries of P's table.
Point mul_table(const PointNiels* table, const Scalar& s);

// The constant table of the base point B.
const PointNiels* base_table();

// The table of a point known at run time.
void fill_table(const Point& p, PointNiels table[kTableEntries]);

}  // namespace kestrova::group
