#include "backend/ifma_layout.h"

#include <cstring>

#include "ct/wipe.h"

namespace kestrova::backend::ifma_layout {

using field::Fe;

namespace {

constexpr uint64_t kM51 = (uint64_t(1) << 51) - 1;

}  // namespace

void fe_to_r52(const Fe& f, uint64_t out[5]) {
    const Fe c = field::fe_canonical(f);
    const uint64_t w0 = c.v[0] | (c.v[1] << 51);
    const uint64_t w1 = (c.v[1] >> 13) | (c.v[2] << 38);
    const uint64_t w2 = (c.v[2] >> 26) | (c.v[3] << 25);
    const uint64_t w3 = (c.v[3] >> 39) | (c.v[4] << 12);
    out[0] = w0 & kM52;
    out[1] = ((w0 >> 52) | (w1 << 12)) & kM52;
    out[2] = ((w1 >> 40) | (w2 << 24)) & kM52;
    out[3] = ((w2 >> 28) | (w3 << 36)) & kM52;
    out[4] = w3 >> 16;
}

Fe fe_from_r52(const uint64_t l[5]) {
    const uint64_t w0 = l[0] | (l[1] << 52);
    const uint64_t w1 = (l[1] >> 12) | (l[2] << 40);
    const uint64_t w2 = (l[2] >> 24) | (l[3] << 28);
    const uint64_t w3 = (l[3] >> 36) | (l[4] << 16);
    const uint64_t top = l[4] >> 47;  // everything from bit 255 up
    Fe f;
    f.v[0] = (w0 & kM51) + 19 * top;
    f.v[1] = ((w0 >> 51) | (w1 << 13)) & kM51;
    f.v[2] = ((w1 >> 38) | (w2 << 26)) & kM51;
    f.v[3] = ((w2 >> 25) | (w3 << 39)) & kM51;
    f.v[4] = (w3 >> 12) & kM51;
    return f;
}

size_t block_items(size_t n, size_t start) { return n - start < size_t(kLanes) ? n - start : size_t(kLanes); }
size_t lane_item(size_t start, size_t m, int lane) { return start + (size_t(lane) < m ? size_t(lane) : 0); }

void Stage::put(int lane, const Fe& f) {
    uint64_t l[5];
    fe_to_r52(f, l);
    for (int k = 0; k < 5; ++k) limb[k][lane] = l[k];
}

Fe Stage::get(int lane) const {
    uint64_t l[5];
    for (int k = 0; k < 5; ++k) l[k] = limb[k][lane];
    return fe_from_r52(l);
}

void PointStage::put(int lane, const group::Point& p) {
    X.put(lane, p.X);
    Y.put(lane, p.Y);
    Z.put(lane, p.Z);
    T.put(lane, p.T);
}

group::Point PointStage::get(int lane) const { return group::Point{X.get(lane), Y.get(lane), Z.get(lane), T.get(lane)}; }

void Table52::fill(const group::PointNiels* entries) {
    for (int e = 0; e < group::kTableEntries; ++e) {
        fe_to_r52(entries[e].yplusx, w[e]);
        fe_to_r52(entries[e].yminusx, w[e] + 5);
        fe_to_r52(entries[e].xy2d, w[e] + 10);
    }
}

void Digits::put(int lane, const group::Scalar& s) {
    int8_t e[64];
    group::scalar_signed_radix16(s, e);
    for (int i = 0; i < 64; ++i) d[i][lane] = e[i];
    ct::wipe(e, sizeof e);
}

void fill_split(SplitTable52& split, const Table52& rows) {
    for (int step = 0; step < 4; ++step)
        for (int j = 0; j < 8; ++j)
            for (int w = 0; w < 15; ++w)
                for (int lane = 0; lane < kLanes; ++lane) split.w[step][j][w][lane] = rows.w[8 * (4 * lane + step) + j][w];
}

SplitDigits::SplitDigits(const group::Scalar& s) {
    int8_t e[64];
    group::scalar_signed_radix16(s, e);
    for (int step = 0; step < 4; ++step) {
        for (int lane = 0; lane < kLanes; ++lane) {
            const int row = 4 * lane + step;
            even[step][lane] = e[2 * row];
            odd[step][lane] = e[2 * row + 1];
        }
    }
    ct::wipe(e, sizeof e);
}

SplitDigits::~SplitDigits() { ct::wipe(this, sizeof *this); }

const Table52& base_table52() {
    static const Table52* const t = [] {
        auto* table = new Table52;
        table->fill(group::base_table());
        return table;
    }();
    return *t;
}

const SplitTable52& base_split_table52() {
    static const SplitTable52* const t = [] {
        auto* split = new SplitTable52;
        fill_split(*split, base_table52());
        return split;
    }();
    return *t;
}

const uint64_t* d2_r52() {
    static const struct D2 {
        uint64_t l[5];
        D2() { fe_to_r52(field::kFeD2, l); }
    } d2;
    return d2.l;
}

}  // namespace kestrova::backend::ifma_layout
