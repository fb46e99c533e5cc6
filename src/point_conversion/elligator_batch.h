// Representatives many at a time: the same maps as elligator.h, with the
// exponentiations of a block going through the batch kernel together.
#pragma once

#include <cstddef>
#include <cstdint>

#include "group/point.h"
#include "point_conversion/elligator.h"

namespace kestrova::point_conversion {

// out[i] = representative_to_point(in + 32 i), with the same panic.
void representatives_to_points(const uint8_t* in, group::Point* out, size_t n);

// The encoder's first half: ok[i] = 1 when p[i] has a representative (the one
// outcome that may be branched on); out[i] is then the representative chosen
// by bits[i] (0 or 1) with its sign flag still clear.
void start_representatives(const group::Point* p, const uint32_t* bits, Representative* out, uint8_t* ok,
                           size_t n);
// The second half, for items that passed: sets the sign flag so that out[i]
// decodes to p[i]. The result equals point_to_representative_with_bit.
void finish_representatives(const group::Point* p, Representative* out, size_t n);

}  // namespace kestrova::point_conversion
