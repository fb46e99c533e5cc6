// SHA-256 over data fed in pieces: the digest of a store as it is written,
// so that nobody reads the file back to hash it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrova::engine {

class Sha256 {
public:
    Sha256();
    void update(const uint8_t* data, std::size_t size);
    // Once; the object is spent afterwards.
    std::array<uint8_t, 32> finish();

private:
    void blocks(const uint8_t* data, std::size_t count);

    uint32_t state_[8];
    uint8_t buffer_[64];
    std::size_t buffered_ = 0;
    uint64_t length_ = 0;
};

}  // namespace kestrova::engine
