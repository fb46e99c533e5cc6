// The value a bank stores per row: a fresh encryption of the neutral element
// under its key, as two representatives (of r·B and of r·PK).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "curve/multiply.h"
#include "group/point.h"
#include "okvs/cell.h"
#include "point_conversion/elligator.h"
#include "random/generator.h"

namespace kestrova::operations {

// Stored as the row's cell: the two representatives side by side.
using RowValue = okvs::Cell;
static_assert(okvs::kCellBytes == 2 * point_conversion::kRepresentativeBytes);

// No multiple of a key of order 1 or 2 has a representative, so no row value
// exists under it and no row can be stored.
bool has_no_row_values(const group::Point& pk);
inline constexpr char kNoRowValuesMessage[] =
    "The public key has order 1 or 2 (the neutral element or (0, -1)), so no row can be encrypted under it.";

// n values. Each is drawn with a uniform r, retried until both r·B and r·PK
// have a representative, a random choice bit per representative and a random
// sign on each. Candidates for several rows go through the batch kernels
// together; a row whose r fails is retried with a fresh r in the next round.
void encrypt_row_values(const curve::FixedBaseTable& pk_table, RowValue* out, size_t n, random::Generator& rng);

// The same on the worker pool, each thread drawing from its own generator, in
// whole blocks: a range of a few rows would still draw a block's candidates.
void encrypt_row_values_on_pool(const curve::FixedBaseTable& pk_table, RowValue* out, size_t n);

// Replaces the representative's field element r by p - r when `negate` is 1;
// the sign flag (bit 255) is kept. Both decode to the same point.
void conditional_negate_representative(uint8_t rep[point_conversion::kRepresentativeBytes], uint32_t negate);

}  // namespace kestrova::operations
