// Key bytes as they cross from Python: one buffer of every row's key bytes end
// to end, read in place, and an array of n + 1 offsets (32- or 64-bit), copied
// once: the caller may change its array while workers run, and the bounds
// checked must be the bounds used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "operations/operations.h"

namespace kestrova::engine {

// Input the caller got wrong: a plain error, never a panic.
class BadInput : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class KeyColumn : public operations::KeySource {
public:
    // Offsets must not decrease and must end inside bytes; the first may be past 0.
    KeyColumn(std::span<const uint8_t> bytes, std::span<const uint8_t> offsets, size_t offset_width,
              const char* name);

    size_t size() const override { return n_; }
    std::string_view at(size_t i) const {
        const uint64_t begin = offset(i);
        return {reinterpret_cast<const char*>(bytes_.data()) + begin, size_t(offset(i + 1) - begin)};
    }
    std::string_view key(size_t i, std::string&) const override { return at(i); }
    uint64_t total_bytes() const { return offset(n_) - offset(0); }

private:
    uint64_t offset(size_t i) const { return offsets_[i]; }

    std::span<const uint8_t> bytes_;
    std::vector<uint64_t> offsets_;
    size_t n_;
};

}  // namespace kestrova::engine
