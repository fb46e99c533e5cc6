#include "engine/word_spacing.h"

#include <algorithm>
#include <string_view>

namespace kestrova::engine {

namespace {

bool alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool umlaut_base(char c) { return c == 'a' || c == 'o' || c == 'u' || c == 'A' || c == 'O' || c == 'U'; }

void space_value(std::string_view s, unsigned flags, std::string& bytes) {
    const size_t begin = bytes.size();
    const bool collapse = flags & (kAlnum | kSpaces);
    bool pending = false;  // a space is owed before the next character
    const auto put = [&](char c) {
        if (pending) {
            if (!(flags & kSpaces) || bytes.size() > begin) bytes.push_back(' ');
            pending = false;
        }
        if ((flags & kUmlauts) && (c == 'e' || c == 'E') && bytes.size() > begin && umlaut_base(bytes.back())) return;
        bytes.push_back(c);
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
    if (pending && !(flags & kSpaces)) bytes.push_back(' ');
}

}  // namespace

void space_words(const KeyColumn& values, unsigned flags, std::string& bytes, std::vector<int64_t>& offsets) {
    if ((flags & kSpaces) && (flags & kCompact)) throw BadInput("space_words: spaces and compact exclude each other");
    bytes.clear();
    bytes.reserve(values.total_bytes() + values.total_bytes() / 8);
    offsets.assign(1, 0);
    offsets.reserve(values.size() + 1);
    for (size_t row = 0; row < values.size(); ++row) {
        const std::string_view s = values.at(row);
        if (std::any_of(s.begin(), s.end(), [](char c) { return uint8_t(c) >= 0x80; }))
            bytes.append(s);
        else
            space_value(s, flags, bytes);
        offsets.push_back(int64_t(bytes.size()));
    }
}

}  // namespace kestrova::engine
