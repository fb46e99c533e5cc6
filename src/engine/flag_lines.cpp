#include "engine/flag_lines.h"

#include <string_view>

namespace kestrova::engine {

namespace {
// A plain loop: find_first_of calls memchr on the set for every character.
bool needs_quotes(std::string_view id) {
    for (const char c : id)
        if (c == '"' || c == ',' || c == '\r' || c == '\n') return true;
    return false;
}
}  // namespace

void flag_lines(const KeyColumn& ids, std::span<const uint8_t> flags, std::string& out) {
    if (flags.size() != ids.size()) throw BadInput("flag_lines: flags and ids differ in number");
    // Flags are the step's result, not a secret: each line is written as it reads.
    out.reserve(out.size() + ids.total_bytes() + 7 * ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::string_view id = ids.at(i);
        if (needs_quotes(id)) {
            out += '"';
            for (const char c : id) {
                if (c == '"') out += '"';
                out += c;
            }
            out += '"';
        } else {
            out += id;
        }
        out += flags[i] ? ",true\n" : ",false\n";
    }
}

void flag_bitmap(std::span<const uint8_t> flags, std::span<uint8_t> out) {
    if (out.size() != (flags.size() + 7) / 8) throw BadInput("flag_bitmap: out holds the wrong number of bytes");
    for (size_t byte = 0; byte < out.size(); ++byte) {
        uint8_t bits = 0;
        for (size_t bit = 0; bit < 8 && byte * 8 + bit < flags.size(); ++bit)
            bits |= uint8_t(flags[byte * 8 + bit] != 0) << bit;
        out[byte] = bits;
    }
}

}  // namespace kestrova::engine
