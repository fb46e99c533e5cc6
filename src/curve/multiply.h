// Scalar multiplication as the rest of the system calls it, through the
// chosen backend. Every routine handles any scalar below 2^255 as the integer
// it is (no reduction modulo the group order), for any point of the full
// group, with no branch or memory index that depends on the scalar.
#pragma once

#include <memory>

#include "group/point.h"
#include "group/scalar.h"

namespace kestrova::backend {
class PreparedTable;
}

namespace kestrova::curve {

// s * P for any point P.
group::Point mul(const group::Point& p, const group::Scalar& s);

// s * B with the constant table of B.
group::Point mul_base(const group::Scalar& s);

// The table of a point known at run time (for i in 0..31, the multiples
// 1 * 256^i * P ... 8 * 256^i * P), in the chosen backend's layout.
class FixedBaseTable {
public:
    explicit FixedBaseTable(const group::Point& p);
    ~FixedBaseTable();  // where the backend's table is a complete type
    FixedBaseTable(FixedBaseTable&&) noexcept;
    group::Point mul(const group::Scalar& s) const;
    const backend::PreparedTable& prepared() const { return *prepared_; }

private:
    std::unique_ptr<backend::PreparedTable> prepared_;
};

}  // namespace kestrova::curve
