#include "keys/keys.h"

#include <cstring>

#include "ct/wipe.h"
#include "curve/multiply.h"
#include "panic/panic.h"
#include "random/generator.h"

namespace kestrova::keys {

group::Point decode_public_key(std::span<const uint8_t> bytes) {
    if (bytes.size() != group::kPointBytes)
        kestrova::panic(kestrova::length_mismatch_message(bytes.size(), group::kPointBytes));
    const std::optional<group::Point> p = group::decompress_vartime(bytes.data());
    if (!p) kestrova::panic("The public key was not a valid curve point.");
    return *p;
}

group::Scalar decode_secret_scalar(std::span<const uint8_t> bytes) {
    if (bytes.size() != group::kScalarBytes)
        kestrova::panic(kestrova::length_mismatch_message(bytes.size(), group::kScalarBytes));
    group::Scalar s;
    std::memcpy(s.bytes, bytes.data(), group::kScalarBytes);
    s.bytes[31] &= 0x7f;
    return s;
}

KeyPair generate_key_pair() {
    group::Scalar s = group::random_scalar(kestrova::random::thread_generator());
    KeyPair out;
    group::compress(curve::mul_base(s), out.first.data());
    std::memcpy(out.second.data(), s.bytes, group::kScalarBytes);
    ct::wipe(s.bytes, sizeof s.bytes);
    return out;
}

}  // namespace kestrova::keys
