// Temporary: the operations land with the curve, store and pool code.
#include "operations/operations.h"

#include "panic/panic.h"

namespace kestrova::operations {

std::pair<Bytes, Bytes> key_gen() { throw NotImplemented(); }
Bytes build_okvs(const Bytes&, StringRows) { throw NotImplemented(); }
Bytes initiate_queries(const StringRows&, const StringRows&, const Bytes&, const Bytes&, const Bytes&) {
    throw NotImplemented();
}
Bytes randomize(const Bytes&) { throw NotImplemented(); }
std::array<Bytes, 4> combine(const Bytes&, const Bytes&) { throw NotImplemented(); }
Bytes decrypt(const Bytes&, const Bytes&) { throw NotImplemented(); }
std::vector<bool> finish(const Bytes&, const Bytes&, const Bytes&, const Bytes&, const Bytes&) {
    throw NotImplemented();
}

}  // namespace kestrova::operations
