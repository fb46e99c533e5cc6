// Many points at once through the chosen backend. The spans of one call must
// have the same size: lists of different lengths are cut at the boundary, not here.
#pragma once

#include <cstdint>
#include <span>

#include "curve/multiply.h"
#include "field/field.h"
#include "group/point.h"
#include "group/scalar.h"

namespace kestrova::curve {

// out[i] = scalars[i] * points[i]
void mul_each(std::span<const group::Point> points, std::span<const group::Scalar> scalars,
              std::span<group::Point> out);
// out[i] = scalars[i] * (8 * points[i] + addend)
void mul_cleared_each(std::span<const group::Point> points, const group::Point& addend,
                      std::span<const group::Scalar> scalars, std::span<group::Point> out);
// out[i] = s * points[i]
void mul_all(std::span<const group::Point> points, const group::Scalar& s, std::span<group::Point> out);
// out[i] = scalars[i] * B
void mul_base_each(std::span<const group::Scalar> scalars, std::span<group::Point> out);
// out[i] = scalars[i] * (the table's point)
void mul_table_each(const FixedBaseTable& table, std::span<const group::Scalar> scalars,
                    std::span<group::Point> out);
// 32 bytes per point.
void compress_all(std::span<const group::Point> points, std::span<uint8_t> out);
// 32 bytes per point in; ok[i] = 1 when point i decompresses (out[i] is then set).
void decompress_all(std::span<const uint8_t> in, std::span<group::Point> out, std::span<uint8_t> ok);

// out[i] = in[i]^((p-5)/8), the exponentiation of square roots (out may be in).
void pow22523_each(std::span<const field::Fe> in, std::span<field::Fe> out);

}  // namespace kestrova::curve
