#include "engine/iban_check.h"

#include <string_view>

namespace kestrova::engine {

namespace {

bool upper(char c) { return c >= 'A' && c <= 'Z'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

bool valid(std::string_view s, std::span<const uint8_t> lengths) {
    if (s.size() < 5 || !upper(s[0]) || !upper(s[1]) || !digit(s[2]) || !digit(s[3])) return false;
    if (lengths[size_t(26 * (s[0] - 'A') + (s[1] - 'A'))] != s.size()) return false;
    for (char c : s.substr(4))
        if (!upper(c) && !digit(c)) return false;
    // The number with the first four characters moved to the end, each letter as two digits (A = 10).
    uint32_t r = 0;
    auto feed = [&r](char c) {
        r = digit(c) ? (r * 10 + uint32_t(c - '0')) % 97 : (r * 100 + uint32_t(c - 'A' + 10)) % 97;
    };
    for (char c : s.substr(4)) feed(c);
    for (char c : s.substr(0, 4)) feed(c);
    return r == 1;
}

}  // namespace

void iban_check(const KeyColumn& ibans, std::span<const uint8_t> lengths, std::span<uint8_t> out) {
    if (lengths.size() != kIbanCountries) throw BadInput("iban_check: lengths must hold 676 bytes");
    if (out.size() != ibans.size()) throw BadInput("iban_check: out holds the wrong number of values");
    for (size_t i = 0; i < ibans.size(); ++i) out[i] = valid(ibans.at(i), lengths) ? 1 : 0;
}

void iban_letters(const KeyColumn& values, std::string& bytes, std::vector<int64_t>& offsets) {
    bytes.assign(values.total_bytes(), '\0');
    offsets.assign(values.size() + 1, 0);
    char* const start = bytes.data();
    char* o = start;
    for (size_t row = 0; row < values.size(); ++row) {
        for (const char c : values.at(row)) {
            if (upper(c) || digit(c))
                *o++ = c;
            else if (c >= 'a' && c <= 'z')
                *o++ = char(c - 'a' + 'A');
        }
        offsets[row + 1] = int64_t(o - start);
    }
    bytes.resize(size_t(o - start));
}

}  // namespace kestrova::engine
