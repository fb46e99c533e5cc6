#include "engine/trailing_words.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_set>

namespace kestrova::engine {

void drop_trailing_phrases(const KeyColumn& values, const KeyColumn& phrases, std::string& bytes,
                           std::vector<int64_t>& offsets) {
    std::map<size_t, std::unordered_set<std::string_view>, std::greater<>> by_words;
    for (size_t i = 0; i < phrases.size(); ++i) {
        const std::string_view p = phrases.at(i);
        by_words[size_t(std::count(p.begin(), p.end(), ' ')) + 1].insert(p);
    }
    bytes.clear();
    bytes.reserve(values.total_bytes());
    offsets.assign(1, 0);
    offsets.reserve(values.size() + 1);
    std::vector<size_t> starts;  // where each word begins; starts[k] - 1 is the space before word k
    for (size_t row = 0; row < values.size(); ++row) {
        const std::string_view s = values.at(row);
        starts.assign(1, 0);
        for (size_t i = 0; i < s.size(); ++i)
            if (s[i] == ' ') starts.push_back(i + 1);
        size_t end = starts.size();  // words kept
        for (bool hit = true; hit;) {
            hit = false;
            for (const auto& [n, set] : by_words) {
                if (end <= n) continue;
                const size_t from = starts[end - n], to = end < starts.size() ? starts[end] - 1 : s.size();
                if (set.contains(s.substr(from, to - from))) {
                    end -= n;
                    hit = true;
                }
            }
        }
        bytes.append(s.substr(0, end < starts.size() ? starts[end] - 1 : s.size()));
        offsets.push_back(int64_t(bytes.size()));
    }
}

}  // namespace kestrova::engine
