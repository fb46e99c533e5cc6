#include "curve/multiply.h"

#include "group/scalar_mul.h"

namespace kestrova::curve {

group::Point mul(const group::Point& p, const group::Scalar& s) { return group::mul_point(p, s); }

group::Point mul_base(const group::Scalar& s) { return backend::chosen().mul_base_one(s); }

FixedBaseTable::FixedBaseTable(const group::Point& p) {
    group::PointNiels entries[group::kTableEntries];
    group::fill_table(p, entries);
    prepared_ = backend::chosen().prepare_table(entries);
}

group::Point FixedBaseTable::mul(const group::Scalar& s) const { return prepared_->mul(s); }

}  // namespace kestrova::curve
