#include "engine/transliterate.h"

#include <algorithm>
#include <functional>
#include <string_view>

namespace kestrova::engine {

namespace {

// The code point at s[i] and its length in bytes; a malformed byte stands for itself
// (the columns are checked UTF-8; this only keeps a bad one from reading past the end).
std::pair<uint32_t, size_t> decode(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return uint32_t(uint8_t(s[i + k])); };
    const uint32_t c = b(0);
    const auto tail = [&](size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    if (c >= 0xC0 && c < 0xE0 && tail(1)) return {((c & 0x1F) << 6) | (b(1) & 0x3F), 2};
    if (c >= 0xE0 && c < 0xF0 && tail(1) && tail(2))
        return {((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F), 3};
    if (c >= 0xF0 && c < 0xF8 && tail(1) && tail(2) && tail(3))
        return {((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F), 4};
    return {0xFFFFFFFF, 1};  // in no table
}

}  // namespace

void check_replacements(const Replacements& table) {
    if (table.offsets.size() != table.code_points.size() + 1)
        throw BadInput("transliterate: the table needs one more offset than code points");
    if (!std::is_sorted(table.offsets.begin(), table.offsets.end()) || table.offsets.back() > table.text.size())
        throw BadInput("transliterate: the table's offsets must ascend inside its text");
    if (std::adjacent_find(table.code_points.begin(), table.code_points.end(), std::greater_equal<uint32_t>()) !=
        table.code_points.end())
        throw BadInput("transliterate: the table's code points must ascend");
}

void transliterate(const KeyColumn& values, const Replacements& table, std::string& bytes,
                   std::vector<int64_t>& offsets) {
    bytes.clear();
    bytes.reserve(values.total_bytes() + values.total_bytes() / 4);
    offsets.assign(1, 0);
    offsets.reserve(values.size() + 1);
    const auto* text = reinterpret_cast<const char*>(table.text.data());
    for (size_t row = 0; row < values.size(); ++row) {
        const std::string_view s = values.at(row);
        if (s.find('\x1f') != std::string_view::npos) {
            bytes.append(s);
        } else {
            for (size_t i = 0; i < s.size();) {
                if (uint8_t(s[i]) < 0x80) {
                    bytes.push_back(s[i++]);
                    continue;
                }
                const auto [c, n] = decode(s, i);
                const auto at = std::lower_bound(table.code_points.begin(), table.code_points.end(), c);
                if (at != table.code_points.end() && *at == c) {
                    const size_t k = size_t(at - table.code_points.begin());
                    bytes.append(text + table.offsets[k], table.offsets[k + 1] - table.offsets[k]);
                } else {
                    bytes.append(s.substr(i, n));
                }
                i += n;
            }
        }
        offsets.push_back(int64_t(bytes.size()));
    }
}

}  // namespace kestrova::engine
