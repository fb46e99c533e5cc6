// The bodies of the module's seven functions, on internal values only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::operations {

using Bytes = std::vector<uint8_t>;
using Row = std::vector<std::string>;
using StringRows = std::vector<Row>;

std::pair<Bytes, Bytes> key_gen();
Bytes build_okvs(const Bytes& public_key, StringRows strings_in_each_row);
// The stores' bytes are taken over and freed once parsed.
Bytes initiate_queries(const StringRows& sender_data, const StringRows& receiver_data, Bytes sender_okvs,
                       Bytes receiver_okvs, const Bytes& swift_pk);
Bytes randomize(const Bytes& ciphertexts);
std::array<Bytes, 4> combine(const Bytes& sender_ciphertexts, const Bytes& receiver_ciphertexts);
Bytes decrypt(const Bytes& points, const Bytes& bank_secret_key);
std::vector<bool> finish(const Bytes& sender_points, const Bytes& receiver_points, const Bytes& gamma_points,
                         const Bytes& delta_points, const Bytes& swift_secret_key);

}  // namespace kestrova::operations
