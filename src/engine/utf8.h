// One UTF-8 character read from text that pyarrow has checked.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

namespace kestrova::engine {

// The code point at s[i] and its length in bytes; a malformed byte stands for itself as
// 0xFFFFFFFF, one byte long (this only keeps a bad one from reading past the end).
inline std::pair<uint32_t, size_t> decode_utf8(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return uint32_t(uint8_t(s[i + k])); };
    const uint32_t c = b(0);
    if (c < 0x80) return {c, 1};
    const auto tail = [&](size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    if (c >= 0xC0 && c < 0xE0 && tail(1)) return {((c & 0x1F) << 6) | (b(1) & 0x3F), 2};
    if (c >= 0xE0 && c < 0xF0 && tail(1) && tail(2))
        return {((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F), 3};
    if (c >= 0xF0 && c < 0xF8 && tail(1) && tail(2) && tail(3))
        return {((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F), 4};
    return {0xFFFFFFFF, 1};
}

}  // namespace kestrova::engine
