#include "backend/ifma_layout.h"

#include <cstring>

#include "backend/lanes.h"
#include "ct/wipe.h"

namespace kestrova::backend::ifma_layout {

using field::Fe;

void fe_to_lanes(const Fe& f, uint64_t out[5]) {
    const Fe c = field::fe_carry(f);
    for (int k = 0; k < 5; ++k) out[k] = c.v[k];
}

size_t block_items(size_t n, size_t start) { return n - start < size_t(kLanes) ? n - start : size_t(kLanes); }
size_t lane_item(size_t start, size_t m, int lane) { return start + (size_t(lane) < m ? size_t(lane) : 0); }

void Stage::put(int lane, const Fe& f) {
    uint64_t l[5];
    fe_to_lanes(f, l);
    for (int k = 0; k < 5; ++k) limb[k][lane] = l[k];
}

Fe Stage::get(int lane) const {
    Fe f;
    for (int k = 0; k < 5; ++k) f.v[k] = limb[k][lane];
    return f;
}

void PointStage::put(int lane, const group::Point& p) {
    X.put(lane, p.X);
    Y.put(lane, p.Y);
    Z.put(lane, p.Z);
    T.put(lane, p.T);
}

group::Point PointStage::get(int lane) const { return group::Point{X.get(lane), Y.get(lane), Z.get(lane), T.get(lane)}; }

void Table51::fill(const group::PointNiels* entries) {
    for (int e = 0; e < group::kTableEntries; ++e) {
        fe_to_lanes(entries[e].yplusx, w[e]);
        fe_to_lanes(entries[e].yminusx, w[e] + 5);
        fe_to_lanes(entries[e].xy2d, w[e] + 10);
    }
}

void Digits::put(int lane, const group::Scalar& s) {
    int8_t e[64];
    group::scalar_signed_radix16(s, e);
    for (int i = 0; i < 64; ++i) d[i][lane] = e[i];
    ct::wipe(e, sizeof e);
}

void fill_split(SplitTable51& split, const Table51& rows) {
    for (int step = 0; step < 4; ++step)
        for (int j = 0; j < 8; ++j)
            for (int w = 0; w < 15; ++w)
                for (int lane = 0; lane < kLanes; ++lane) split.w[step][j][w][lane] = rows.w[8 * (4 * lane + step) + j][w];
}

SplitDigits::SplitDigits(const group::Scalar& s) {
    static_assert(4 * kLanes == 32, "four steps of eight lanes");
    lanes::split_digits(s, kLanes, &even[0][0], &odd[0][0]);
}

SplitDigits::~SplitDigits() { ct::wipe(this, sizeof *this); }

const Table51& base_table51() {
    return lanes::built_once<Table51>([](Table51& table) { table.fill(group::base_table()); });
}

const SplitTable51& base_split_table51() {
    return lanes::built_once<SplitTable51>([](SplitTable51& split) { fill_split(split, base_table51()); });
}

}  // namespace kestrova::backend::ifma_layout
