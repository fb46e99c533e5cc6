// The bodies of the module's seven functions, on internal values only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/paxos.h"

namespace kestrova::operations {

using Bytes = std::vector<uint8_t>;
using Row = std::vector<std::string>;
using StringRows = std::vector<Row>;

std::pair<Bytes, Bytes> key_gen();
Bytes build_okvs(const Bytes& public_key, StringRows strings_in_each_row);
// The stores' bytes are taken over and freed once parsed.
Bytes initiate_queries(const StringRows& sender_data, const StringRows& receiver_data, Bytes sender_okvs,
                       Bytes receiver_okvs, const Bytes& central_pk);
Bytes randomize(const Bytes& ciphertexts);
std::array<Bytes, 4> combine(const Bytes& sender_ciphertexts, const Bytes& receiver_ciphertexts);
Bytes decrypt(const Bytes& points, const Bytes& bank_secret_key);
std::vector<bool> finish(const Bytes& sender_points, const Bytes& receiver_points, const Bytes& gamma_points,
                         const Bytes& delta_points, const Bytes& central_secret_key);

// The same steps on borrowed bytes, writing into outputs the caller sized:
// n records of the input (as the list forms cut them), out of n records.
using In = std::span<const uint8_t>;
using Out = std::span<uint8_t>;

size_t randomize_count(In ciphertexts);
void randomize_into(In ciphertexts, Out out);
size_t combine_count(In sender_ciphertexts, In receiver_ciphertexts);
void combine_into(In sender_ciphertexts, In receiver_ciphertexts, const std::array<Out, 4>& out);
size_t decrypt_count(In points);
void decrypt_into(In points, In bank_secret_key, Out out);
size_t finish_count(In sender_points, In receiver_points, In gamma_points, In delta_points);
// The key bytes of row i; scratch may hold them, valid until the next call with it.
class KeySource {
public:
    virtual ~KeySource() = default;
    virtual size_t size() const = 0;
    virtual std::string_view key(size_t i, std::string& scratch) const = 0;
};
// n = the smaller key count; out of n ciphertexts.
void queries_into(const okvs::StoreView& sender_store, const okvs::StoreView& receiver_store, const KeySource& sender,
                  const KeySource& receiver, In central_pk, Out out);
// The same in two halves, so that one store at a time need be held: each key's
// 64-byte cell, then n ciphertexts from the sender's and the receiver's cells.
void lookups_into(const okvs::StoreView& store, const KeySource& keys, Out out);
void queries_from_cells_into(In sender_cells, In receiver_cells, In central_pk, Out out);

// One byte per transaction, 1 where the relation holds.
void finish_into(In sender_points, In receiver_points, In gamma_points, In delta_points, In central_secret_key,
                 Out equal);

}  // namespace kestrova::operations
