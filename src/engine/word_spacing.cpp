#include "engine/word_spacing.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/utf8.h"

namespace kestrova::engine {

namespace {

bool alnum(char c) {
    return uint8_t(c) >= 0x80  // a byte of a caseless letter
           || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool umlaut_base(char c) { return c == 'a' || c == 'o' || c == 'u' || c == 'A' || c == 'O' || c == 'U'; }

// Writes the value from `out` on (room for 4 bytes per byte and one more); returns its end.
char* space_value(std::string_view s, unsigned flags, char* const out) {
    char* o = out;
    const bool collapse = flags & (kAlnum | kSpaces);
    bool pending = false;  // a space is owed before the next character
    const auto put = [&](char c) {
        if (pending) {
            if (!(flags & kSpaces) || o > out) *o++ = ' ';
            pending = false;
        }
        if ((flags & kUmlauts) && (c == 'e' || c == 'E') && o > out && umlaut_base(o[-1])) return;
        *o++ = c;
    };
    const auto gap = [&](char c) {
        if (flags & kCompact) return;
        if (collapse)
            pending = true;
        else
            put(c);
    };
    for (const char c : s) {
        if (flags & kAlnum) {
            if (c == '\'' || c == '`' || c == '.') continue;
            if (c == '&' || c == '+') {
                gap(' ');
                put('a'), put('n'), put('d');
                gap(' ');
            } else if (alnum(c)) {
                put(c);
            } else {
                gap(' ');
            }
        } else if (ascii_space(c)) {
            gap(c);
        } else {
            put(c);
        }
    }
    if (pending && !(flags & kSpaces)) *o++ = ' ';
    return o;
}

}  // namespace

bool caseless_letter(uint32_t c) {
    static constexpr std::pair<uint32_t, uint32_t> kRanges[] = {
        {0x05D0, 0x05EA},  // Hebrew letters
        {0x0621, 0x064A},  // Arabic letters
        {0x3041, 0x3093},  // Hiragana
        {0x30A1, 0x30FA},  // Katakana
        {0x3400, 0x4DB5},  // CJK ideographs, extension A
        {0x4E00, 0x9FA5},  // CJK ideographs
        {0xAC00, 0xD7A3},  // Hangul syllables
    };
    return std::any_of(std::begin(kRanges), std::end(kRanges),
                       [c](const auto& r) { return c >= r.first && c <= r.second; });
}

bool plain_text(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        if (uint8_t(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto [c, n] = decode_utf8(s, i);
        if (!caseless_letter(c)) return false;
        i += n;
    }
    return true;
}

void plain_rows(const KeyColumn& values, std::span<uint8_t> out) {
    if (out.size() != values.size()) throw BadInput("plain_rows: out holds the wrong number of values");
    for (size_t i = 0; i < values.size(); ++i) out[i] = plain_text(values.at(i)) ? 1 : 0;
}

void space_words(const KeyColumn& values, unsigned flags, std::string& bytes, std::vector<int64_t>& offsets) {
    if ((flags & kSpaces) && (flags & kCompact)) throw BadInput("space_words: spaces and compact exclude each other");
    // Room for the longest result at once (a byte becomes at most four, "&" " and"): growing a
    // string row by row costs more than the rules themselves.
    bytes.assign(4 * values.total_bytes() + values.size(), '\0');
    offsets.assign(values.size() + 1, 0);
    char* const start = bytes.data();
    char* o = start;
    for (size_t row = 0; row < values.size(); ++row) {
        const std::string_view s = values.at(row);
        if (!plain_text(s)) {
            std::memcpy(o, s.data(), s.size());
            o += s.size();
        } else {
            o = space_value(s, flags, o);
        }
        offsets[row + 1] = int64_t(o - start);
    }
    bytes.resize(size_t(o - start));
}

}  // namespace kestrova::engine
