#include "curve/multiply.h"

#include "backend/backend.h"
#include "group/scalar_mul.h"

namespace kestrova::curve {

group::Point mul(const group::Point& p, const group::Scalar& s) { return group::mul_point(p, s); }

group::Point mul_base(const group::Scalar& s) { return backend::chosen().mul_base_one(s); }

FixedBaseTable::FixedBaseTable(const group::Point& p) : prepared_(backend::prepare_table_of(p)) {}

FixedBaseTable::~FixedBaseTable() = default;
FixedBaseTable::FixedBaseTable(FixedBaseTable&&) noexcept = default;

group::Point FixedBaseTable::mul(const group::Scalar& s) const { return prepared_->mul(s); }

}  // namespace kestrova::curve
