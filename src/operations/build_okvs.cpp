#include "curve/multiply.h"
#include "group/point.h"
#include "keys/keys.h"
#include "okvs/encoder.h"
#include "okvs/store_bytes.h"
#include "operations/operations.h"
#include "operations/row_values.h"
#include "panic/panic.h"
#include "random/generator.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

Bytes build_okvs(const Bytes& public_key, StringRows strings_in_each_row) {
    const group::Point pk = keys::decode_public_key(public_key);
    const size_t n = strings_in_each_row.size();
    if (n > 0 && has_no_row_values(pk)) panic(kNoRowValuesMessage);

    std::vector<std::string> keys(n);
    for (size_t i = 0; i < n; ++i) {
        keys[i] = okvs::key_bytes(strings_in_each_row[i]);
        Row().swap(strings_in_each_row[i]);  // the strings are not needed twice
    }
    // A repeat would otherwise surface in the store encoding, after every row was encrypted.
    okvs::refuse_equal_keys(keys);

    const curve::FixedBaseTable pk_table(pk);
    std::vector<okvs::Cell> values(n);
    encrypt_row_values_on_pool(pk_table, values.data(), n);

    okvs::KeyStrings key_source(keys);
    okvs::CellValues value_source(values);
    const okvs::PaxosStore store =
        okvs::encode(key_source, value_source, random::thread_generator(), nullptr, worker_pool::check_interrupt);
    return okvs::store_to_bytes(store);
}

}  // namespace kestrova::operations
