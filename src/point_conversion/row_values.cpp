#include "point_conversion/row_values.h"

#include <cstring>

#include "ct/wipe.h"
#include "field/field.h"
#include "group/scalar.h"
#include "point_conversion/elligator.h"

namespace kestrova::point_conversion {

void conditional_negate_representative(uint8_t rep[32], uint32_t negate) {
    const uint8_t sign = rep[31] & 0x80;
    const field::Fe r = field::fe_cneg(field::fe_from_bytes(rep), ct::Choice::from_bit(negate));
    field::fe_to_bytes(rep, r);
    rep[31] |= sign;
}

RowValue encrypt_row_value(const curve::FixedBaseTable& pk_table, random::Generator& rng) {
    for (;;) {
        group::Scalar r = group::random_scalar(rng);
        const ct::WipeOnExit wipe_r(r);
        const auto rep1 = point_to_representative(curve::mul_base(r), rng);
        if (!rep1) continue;
        const auto rep2 = point_to_representative(pk_table.mul(r), rng);
        if (!rep2) continue;
        RowValue value;
        std::memcpy(value.data(), rep1->data(), 32);
        std::memcpy(value.data() + 32, rep2->data(), 32);
        // Encoder output always has bit 0 clear, while a lookup of an absent row
        // yields random bytes: a random sign on each element hides which is which.
        conditional_negate_representative(value.data(), rng.next_u32() >> 31);
        conditional_negate_representative(value.data() + 32, rng.next_u32() >> 31);
        return value;
    }
}

}  // namespace kestrova::point_conversion
