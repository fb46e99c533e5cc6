#include "backend/avx2_layout.h"

#include "backend/lanes.h"
#include "ct/wipe.h"

namespace kestrova::backend::avx2_lanes {

using field::Fe;

// Limbs 2k and 2k + 1 split serial limb k (weight 2^51k) at bit 26.
void fe_to_limbs(const Fe& f, uint64_t out[kLimbs]) {
    const Fe c = field::fe_carry(f);
    for (int k = 0; k < 5; ++k) {
        out[2 * k] = c.v[k] & ((uint64_t(1) << 26) - 1);
        out[2 * k + 1] = c.v[k] >> 26;
    }
}

Fe fe_from_limbs(const uint64_t in[kLimbs]) {
    Fe f;
    for (int k = 0; k < 5; ++k) f.v[k] = in[2 * k] + (in[2 * k + 1] << 26);
    KESTROVA_VERIFY_CHECK(field::fe_limbs_below(f, field::kBit52));
    return f;
}

size_t block_items(size_t n, size_t start) { return n - start < size_t(kLanes) ? n - start : size_t(kLanes); }
size_t lane_item(size_t start, size_t m, int lane) { return start + (size_t(lane) < m ? size_t(lane) : 0); }

void Stage::put(int lane, const Fe& f) {
    uint64_t l[kLimbs];
    fe_to_limbs(f, l);
    for (int k = 0; k < kLimbs; ++k) limb[k][lane] = l[k];
}

Fe Stage::get(int lane) const {
    uint64_t l[kLimbs];
    for (int k = 0; k < kLimbs; ++k) l[k] = limb[k][lane];
    return fe_from_limbs(l);
}

void PointStage::put(int lane, const group::Point& p) {
    X.put(lane, p.X);
    Y.put(lane, p.Y);
    Z.put(lane, p.Z);
    T.put(lane, p.T);
}

group::Point PointStage::get(int lane) const { return group::Point{X.get(lane), Y.get(lane), Z.get(lane), T.get(lane)}; }

void Table::fill(const group::PointNiels* entries) {
    for (int e = 0; e < group::kTableEntries; ++e) {
        fe_to_limbs(entries[e].yplusx, w[e]);
        fe_to_limbs(entries[e].yminusx, w[e] + kLimbs);
        fe_to_limbs(entries[e].xy2d, w[e] + 2 * kLimbs);
    }
}

void Digits::put(int lane, const group::Scalar& s) {
    int8_t e[64];
    group::scalar_signed_radix16(s, e);
    for (int i = 0; i < 64; ++i) d[i][lane] = e[i];
    ct::wipe(e, sizeof e);
}

void fill_split(SplitTable& split, const Table& rows) {
    for (int step = 0; step < kSplitSteps; ++step)
        for (int j = 0; j < 8; ++j)
            for (int w = 0; w < kEntryWords; ++w)
                for (int lane = 0; lane < kLanes; ++lane)
                    split.w[step][j][w][lane] = rows.w[8 * (kSplitSteps * lane + step) + j][w];
}

SplitDigits::SplitDigits(const group::Scalar& s) { lanes::split_digits(s, kLanes, &even[0][0], &odd[0][0]); }

SplitDigits::~SplitDigits() { ct::wipe(this, sizeof *this); }

const Table& base_table() {
    return lanes::built_once<Table>([](Table& table) { table.fill(group::base_table()); });
}

const SplitTable& base_split_table() {
    return lanes::built_once<SplitTable>([](SplitTable& split) { fill_split(split, base_table()); });
}

}  // namespace kestrova::backend::avx2_lanes
