// Scalar multiplication. Every routine handles any scalar below 2^255 as the
// integer it is (no reduction modulo the group order), for any point of the
// full group, with no branch or memory index that depends on the scalar.
#pragma once

#include <memory>

#include "keys/point.h"
#include "keys/scalar.h"

namespace kestrova::keys {

// s * B with the constant table of B, through the fastest backend of batch.h.
Point mul_base(const Scalar& s);
// The portable loop behind mul_base (the serial backend and the reference).
Point mul_base_serial(const Scalar& s);

// A table of the same shape as the constant one (for i in 0..31, the multiples
// 1 * 256^i * P ... 8 * 256^i * P in affine form) for a point known at run time.
class FixedBaseTable {
public:
    explicit FixedBaseTable(const Point& p);
    // Through the backend's own copy of the table when it keeps one.
    Point mul(const Scalar& s) const;
    // The portable loop over the entries.
    Point mul_serial(const Scalar& s) const;

    // Row i, entry j holds (j + 1) * 256^i * P.
    const PointNiels& entry(int i, int j) const { return table_[8 * i + j]; }
    // The 256 entries, row by row.
    const PointNiels* data() const;

private:
    std::unique_ptr<PointNiels[]> table_;
    std::shared_ptr<const void> lanes_;  // the backend's layout, or null
};

// s * P for any point P.
Point mul(const Point& p, const Scalar& s);

// The constant table of B (row i, entry j = (j + 1) * 256^i * B).
const PointNiels& base_table_entry(int i, int j);

}  // namespace kestrova::keys
