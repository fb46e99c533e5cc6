// Representatives: the Elligator 2 encoding of Curve25519 run backwards, with
// bit 255 telling the sign of the Edwards x. Any 32 bytes decode to a point;
// about half of all points have a representative.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "field/field.h"
#include "group/point.h"
#include "random/generator.h"

namespace kestrova::point_conversion {

inline constexpr size_t kRepresentativeBytes = 32;
using Representative = std::array<uint8_t, kRepresentativeBytes>;

// The forward map r -> u (canonical); r and -r give the same u.
field::Fe elligator_map(const field::Fe& r);

// The Edwards point with Montgomery coordinate u (32 bytes, loaded with bit 255
// cleared) and the given x sign; absent for u = -1 or when no such point exists.
std::optional<group::Point> montgomery_to_edwards_vartime(const uint8_t u[32], bool sign);

// Decodes any 32 bytes. Panics with "The point from the Elligator map is
// invalid, this should never happen." if the map yields no point.
group::Point representative_to_point(const uint8_t in[kRepresentativeBytes]);

// The encoder with its choice bit given (0 or 1): one of the two
// representatives of p, or absent when p has none.
std::optional<Representative> point_to_representative_with_bit(const group::Point& p, uint32_t bit);

// The encoder drawing its bit (the top bit of one next_u32 word) from g on
// every call, whether or not a representative exists.
std::optional<Representative> point_to_representative(
    const group::Point& p, kestrova::random::Generator& g = kestrova::random::thread_generator());

}  // namespace kestrova::point_conversion
