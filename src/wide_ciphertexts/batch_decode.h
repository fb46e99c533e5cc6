// Decoding a block of records through the batch kernel. The kernel only
// reports per point whether it decoded; the caller then walks the block in the
// order a one-at-a-time pass would check it and calls the require_* functions,
// so the failure reported is the one that pass would meet first.
//
// The messages are a frozen contract with the module's callers, who match on
// them: a short record gives "source slice length (L) does not match destination
// slice length (32)" (a point list) or "range end index E out of range for slice
// of length L" (a ciphertext list), an encoding that is no point "called
// `Option::unwrap()` on a `None` value", each for the lowest failing record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "group/point.h"

namespace kestrova::wide_ciphertexts {

// Records first .. first + m - 1 of a list of c-byte records (c a multiple of
// 32), c / 32 points each, into out and ok in record order. Points of a short
// record are not decoded (ok = 0); require_* reports them.
void decompress_records(std::span<const uint8_t> list, size_t c, size_t first, size_t m, group::Point* out,
                        uint8_t* ok);

// The failure of record i of a point list, if any: its length, then whether it decoded.
void require_point_record(std::span<const uint8_t> list, size_t i, uint8_t ok);
// The failure of parse_wide_ciphertext for record i of a ciphertext list, if any.
void require_ciphertext_record(std::span<const uint8_t> list, size_t i);
// The failure of one point that did not decode, if any.
void require_point(uint8_t ok);

}  // namespace kestrova::wide_ciphertexts
