#include "engine/transliterate.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "engine/utf8.h"

namespace kestrova::engine {

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
                if (uint8_t(s[i]) < 0x80) {  // a run of ASCII at once
                    size_t end = i + 1;
                    while (end < s.size() && uint8_t(s[end]) < 0x80) ++end;
                    bytes.append(s.substr(i, end - i));
                    i = end;
                    continue;
                }
                const auto [c, n] = decode_utf8(s, i);
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
