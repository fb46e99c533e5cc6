#include "engine/key_column.h"

#include <cstring>

namespace kestrova::engine {

KeyColumn::KeyColumn(std::span<const uint8_t> bytes, std::span<const uint8_t> offsets, size_t offset_width,
                     const char* name)
    : bytes_(bytes), n_(0) {
    const std::string what = std::string(name) + ": ";
    const size_t width = offset_width;
    if (width != 4 && width != 8) throw BadInput(what + "offsets must be 32- or 64-bit integers");
    if (offsets.size() % width != 0 || offsets.size() < width)
        throw BadInput(what + "offsets must hold one more entry than there are keys");
    n_ = offsets.size() / width - 1;
    offsets_.resize(n_ + 1);
    for (size_t i = 0; i <= n_; ++i) {
        if (width == 4) {
            uint32_t v;
            std::memcpy(&v, offsets.data() + 4 * i, 4);
            offsets_[i] = v;
        } else {
            std::memcpy(&offsets_[i], offsets.data() + 8 * i, 8);
        }
    }
    // Signed offsets below zero read as huge and fail the bound.
    uint64_t previous = offset(0);
    for (size_t i = 1; i <= n_; ++i) {
        const uint64_t next = offset(i);
        if (next < previous) throw BadInput(what + "offsets decrease at entry " + std::to_string(i));
        previous = next;
    }
    if (previous > bytes.size())
        throw BadInput(what + "offsets end at " + std::to_string(previous) + ", past the " +
                       std::to_string(bytes.size()) + " key bytes");
}

}  // namespace kestrova::engine
