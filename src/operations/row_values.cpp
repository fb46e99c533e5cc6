#include "operations/row_values.h"

#include <algorithm>
#include <cstring>

#include "ct/choice.h"
#include "ct/wipe.h"
#include "curve/batch.h"
#include "field/field.h"
#include "group/scalar.h"
#include "operations/blocks.h"
#include "point_conversion/elligator.h"
#include "point_conversion/elligator_batch.h"
#include "worker_pool/pool.h"

namespace kestrova::operations {

using point_conversion::finish_representatives;
using point_conversion::kRepresentativeBytes;
using point_conversion::Representative;
using point_conversion::start_representatives;

void conditional_negate_representative(uint8_t rep[kRepresentativeBytes], uint32_t negate) {
    const uint8_t sign = rep[31] & 0x80;
    const field::Fe r = field::fe_cneg(field::fe_from_bytes(rep), ct::Choice::from_bit(negate));
    field::fe_to_bytes(rep, r);
    rep[31] |= sign;
}

namespace {

// Candidates per round: whole vector blocks; a quarter of them pass on average.
constexpr size_t kCandidates = 32;

// Moves the candidates whose ok is set to the front, in order, by move(to, from);
// returns how many. Only whether a representative exists is branched on.
template <class Move>
size_t keep_passed(const uint8_t* ok, size_t n, const Move& move) {
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i)
        if (ok[i]) move(kept++, i);
    return kept;
}

// One round over up to kCandidates fresh candidates; returns the rows written to out (at most `want`).
size_t encrypt_round(const curve::FixedBaseTable& pk_table, RowValue* out, size_t want, random::Generator& rng) {
    const size_t lanes = std::min(kCandidates, (std::max<size_t>(4 * want, 8) + 7) / 8 * 8);
    group::Scalar r[kCandidates], r_pass[kCandidates];
    group::Point first[2 * kCandidates], second[kCandidates];
    uint32_t bits[kCandidates];
    Representative reps[2 * kCandidates], second_reps[kCandidates];
    uint8_t ok[kCandidates];
    for (size_t i = 0; i < lanes; ++i) {
        r[i] = group::random_scalar(rng);
        bits[i] = rng.next_u32() >> 31;
    }
    curve::mul_base_each({r, lanes}, {first, lanes});
    start_representatives(first, bits, reps, ok, lanes);
    const size_t pass = keep_passed(ok, lanes, [&](size_t to, size_t from) {
        r_pass[to] = r[from];
        first[to] = first[from];
        reps[to] = reps[from];
    });
    for (size_t i = 0; i < pass; ++i) bits[i] = rng.next_u32() >> 31;
    curve::mul_table_each(pk_table, {r_pass, pass}, {second, pass});
    start_representatives(second, bits, second_reps, ok, pass);
    const size_t both = keep_passed(ok, pass, [&](size_t to, size_t from) {
        first[to] = first[from];
        reps[to] = reps[from];
        first[kCandidates + to] = second[from];
        reps[kCandidates + to] = second_reps[from];
    });
    ct::wipe(r, sizeof r);
    ct::wipe(r_pass, sizeof r_pass);
    const size_t rows = std::min(both, want);
    finish_representatives(first, reps, rows);
    finish_representatives(first + kCandidates, reps + kCandidates, rows);
    for (size_t i = 0; i < rows; ++i) {
        std::memcpy(out[i].data(), reps[i].data(), kRepresentativeBytes);
        // Encoder output always has bit 0 clear, while a lookup of an absent row
        // yields random bytes: a random sign on each element hides which is which.
        std::memcpy(out[i].data() + kRepresentativeBytes, reps[kCandidates + i].data(), kRepresentativeBytes);
        conditional_negate_representative(out[i].data(), rng.next_u32() >> 31);
        conditional_negate_representative(out[i].data() + kRepresentativeBytes, rng.next_u32() >> 31);
    }
    return rows;
}

}  // namespace

bool has_no_row_values(const group::Point& pk) { return ct::to_bool_vartime(group::is_small_order(pk, 2)); }

void encrypt_row_values(const curve::FixedBaseTable& pk_table, RowValue* out, size_t n, random::Generator& rng) {
    for (size_t done = 0; done < n;) done += encrypt_round(pk_table, out + done, n - done, rng);
}

void encrypt_row_values_on_pool(const curve::FixedBaseTable& pk_table, RowValue* out, size_t n) {
    worker_pool::parallel_for(n, kGrainPerPointWork, [&](size_t begin, size_t end) {
        encrypt_row_values(pk_table, out + begin, end - begin, random::thread_generator());
    });
}

}  // namespace kestrova::operations
