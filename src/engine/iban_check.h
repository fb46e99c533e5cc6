// IBANs checked in bulk: each country's length and the mod-97 check digits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/key_column.h"

namespace kestrova::engine {

// Letters A-Z as the two-letter country codes index them: lengths[26 * (c0 - 'A') + (c1 - 'A')],
// 0 for a country without IBANs.
inline constexpr size_t kIbanCountries = 26 * 26;

// out[i] = 1 when ibans.at(i) is two capital letters, two digits, then capital letters and
// digits, as long as its country's IBANs, and its number modulo 97 is 1; else 0.
// IBANs are public account numbers: no secret runs through this.
void iban_check(const KeyColumn& ibans, std::span<const uint8_t> lengths, std::span<uint8_t> out);

// Each value with only its ASCII letters, upper-cased, and digits kept: as an IBAN is
// compared, whatever spaces, dashes or dots a payer wrote in it.
void iban_letters(const KeyColumn& values, std::string& bytes, std::vector<int64_t>& offsets);

}  // namespace kestrova::engine
