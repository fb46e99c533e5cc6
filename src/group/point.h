// Points of the full edwards25519 group, -x^2 + y^2 = 1 + d x^2 y^2.
// Point holds extended coordinates (x = X/Z, y = Y/Z, x*y = T/Z); the
// intermediate forms of the formulas are in point_internal.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ct/choice.h"
#include "field/field.h"

namespace kestrova::group {

// A compressed point: y, with the sign of x in bit 255.
inline constexpr size_t kPointBytes = 32;

struct Point {
    field::Fe X, Y, Z, T;
};

Point identity();
// Branches on whether the encoding is valid: for public encodings only.
std::optional<Point> decompress_vartime(const uint8_t in[kPointBytes]);

void compress(const Point& p, uint8_t out[kPointBytes]);
Point add(const Point& a, const Point& b);
Point dbl(const Point& a);
Point neg(const Point& a);
// Same group element (projective comparison on canonical encodings).
ct::Choice equal(const Point& a, const Point& b);
// The point satisfies the curve equation and T*Z = X*Y (for tests).
ct::Choice is_valid(const Point& p);
// order * P is the identity, that is P's order divides `order` (a power of
// two up to 8, the cofactor).
ct::Choice is_small_order(const Point& p, unsigned order);
// What 32 public bytes encode, told exactly and in variable time (public data
// only): a point of prime order, or what stands in the way of one.
enum class Encoding { kPrimeOrder, kNotCanonical, kNotOnCurve, kSmallOrder, kMixedOrder };
Encoding classify_vartime(const uint8_t in[kPointBytes]);
// 8·P: the point's component in the prime-order subgroup, times 8; any
// small-order component is gone.
Point clear_cofactor(const Point& p);

// kPointBytes per point into out, sharing one inversion per block of points.
void compress_batch(const Point* points, uint8_t* out, size_t n);

}  // namespace kestrova::group
