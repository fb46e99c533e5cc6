#include "engine/word_phrases.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_set>

namespace kestrova::engine {

namespace {

struct Word {
    std::string_view value, look;
};

void split(std::string_view s, std::vector<std::string_view>& out) {
    out.clear();
    for (size_t from = 0;;) {
        const size_t space = s.find(' ', from);
        out.push_back(s.substr(from, space == std::string_view::npos ? std::string_view::npos : space - from));
        if (space == std::string_view::npos) return;
        from = space + 1;
    }
}

}  // namespace

void drop_phrases(const KeyColumn& values, const KeyColumn& lookup, const KeyColumn& phrases, bool unordered,
                  std::string& bytes, std::vector<int64_t>& offsets) {
    if (lookup.size() != values.size()) throw BadInput("drop_phrases: values and lookup differ in length");
    std::map<size_t, std::unordered_set<std::string_view>, std::greater<>> by_words;
    for (size_t i = 0; i < phrases.size(); ++i) {
        const std::string_view p = phrases.at(i);
        by_words[size_t(std::count(p.begin(), p.end(), ' ')) + 1].insert(p);
    }
    bytes.clear();
    bytes.reserve(values.total_bytes());
    offsets.assign(1, 0);
    offsets.reserve(values.size() + 1);
    std::vector<std::string_view> value_words, look_words;
    std::vector<Word> words;
    std::string scratch;
    const auto spelt = [&](size_t from, size_t n) -> std::string_view {
        if (n == 1) return words[from].look;
        scratch.clear();
        for (size_t k = from; k < from + n; ++k) {
            if (k > from) scratch.push_back(' ');
            scratch.append(words[k].look);
        }
        return scratch;
    };
    // keep: words that must stay after a drop (1: never the last words left; 0: a name may go whole).
    const auto drop = [&](size_t keep) {
        for (bool hit = true; hit;) {
            hit = false;
            for (const auto& [n, set] : by_words) {
                if (!unordered) {
                    if (words.size() >= n + keep && set.contains(spelt(words.size() - n, n))) {
                        words.resize(words.size() - n);
                        hit = true;
                    }
                    continue;
                }
                for (size_t i = 0; words.size() >= n + keep && i + n <= words.size();) {
                    if (set.contains(spelt(i, n))) {
                        words.erase(words.begin() + ptrdiff_t(i), words.begin() + ptrdiff_t(i + n));
                        hit = true;
                    } else {
                        ++i;
                    }
                }
            }
        }
    };
    for (size_t row = 0; row < values.size(); ++row) {
        split(values.at(row), value_words);
        split(lookup.at(row), look_words);
        if (value_words.size() != look_words.size())
            throw BadInput("drop_phrases: a value and its lookup differ in words");
        const auto fill = [&] {
            words.clear();
            for (size_t k = 0; k < value_words.size(); ++k) words.push_back({value_words[k], look_words[k]});
        };
        fill();
        if (unordered) {
            // A name of legal forms alone keeps one of them, chosen from its sorted words: the same
            // whatever their order.
            drop(0);
            if (words.empty()) fill();
            std::stable_sort(words.begin(), words.end(), [](const Word& a, const Word& b) { return a.value < b.value; });
        }
        drop(1);
        for (size_t k = 0; k < words.size(); ++k) {
            if (k) bytes.push_back(' ');
            bytes.append(words[k].value);
        }
        offsets.push_back(int64_t(bytes.size()));
    }
}

}  // namespace kestrova::engine
