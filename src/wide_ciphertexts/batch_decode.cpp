#include "wide_ciphertexts/batch_decode.h"

#include <cstring>

#include "curve/batch.h"
#include "panic/panic.h"
#include "wide_ciphertexts/records.h"
#include "wide_ciphertexts/wide_ciphertext.h"

namespace kestrova::wide_ciphertexts {

void decompress_records(std::span<const uint8_t> list, size_t c, size_t first, size_t m, group::Point* out,
                        uint8_t* ok) {
    const size_t per = c / kPointBytes;
    // Only the list's last record can be short.
    const size_t full = list.size() >= c * (first + m) ? m : m - 1;
    curve::decompress_all(list.subspan(c * first, c * full), {out, per * full}, {ok, per * full});
    std::memset(ok + per * full, 0, per * (m - full));
}

void require_point_record(std::span<const uint8_t> list, size_t i, uint8_t ok) {
    const size_t size = record_at(list, kPointBytes, i).size();
    if (size != kPointBytes) panic(length_mismatch_message(size, kPointBytes));
    require_point(ok);
}

void require_ciphertext_record(std::span<const uint8_t> list, size_t i) {
    const std::span<const uint8_t> record = record_at(list, kCiphertextBytes, i);
    if (record.size() != kCiphertextBytes) parse_wide_ciphertext(record);
}

void require_point(uint8_t ok) {
    if (!ok) panic("called `Option::unwrap()` on a `None` value");
}

}  // namespace kestrova::wide_ciphertexts
