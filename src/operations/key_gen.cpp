#include "ct/wipe.h"
#include "keys/keys.h"
#include "operations/operations.h"

namespace kestrova::operations {

std::pair<Bytes, Bytes> key_gen() {
    auto [public_key, secret_key] = keys::generate_key_pair();
    const ct::WipeOnExit wipe_secret(secret_key);
    return {Bytes(public_key.begin(), public_key.end()), Bytes(secret_key.begin(), secret_key.end())};
}

}  // namespace kestrova::operations
