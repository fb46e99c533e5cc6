#include "okvs/elimination.h"

#include <algorithm>
#include <bit>
#include <string>

#include "panic/panic.h"

namespace kestrova::okvs {

std::vector<EquationRow> core_rows(std::span<const CoreEdge> core, const EdgeEnds& edges,
                                   std::span<const Cell> values, uint64_t m) {
    std::vector<EquationRow> rows;
    rows.reserve(core.size());
    for (const CoreEdge& e : core) {
        EquationRow row;
        if (e.u != e.v) {
            row.columns.push_back(std::min(e.u, e.v));
            row.columns.push_back(std::max(e.u, e.v));
        }
        const uint64_t d = edges.dense[e.edge];
        for (uint64_t j = 0; j < kDenseCells; ++j) {
            if ((d >> j) & 1) row.columns.push_back(m + j);
        }
        row.value = values[e.edge];
        rows.push_back(std::move(row));
    }
    return rows;
}

namespace {

// Rows as bit sets over the columns that occur at all, numbered in ascending
// order; no other column can become a pivot, so the order of pivots is kept.
using Bits = std::vector<uint64_t>;

bool test(const Bits& b, std::size_t i) { return (b[i / 64] >> (i % 64)) & 1; }

}  // namespace

std::optional<CoreSolution> solve_core(std::vector<EquationRow> rows, uint64_t m,
                                       kestrova::random::Generator& gen) {
    if (m > kMaxNodes) kestrova::panic("a store holds at most " + std::to_string(kMaxNodes) + " sparse cells");
    std::vector<uint64_t> used;
    for (const auto& row : rows) {
        for (std::size_t k = 0; k < row.columns.size(); ++k) {
            if (row.columns[k] >= m + kDenseCells || (k > 0 && row.columns[k] <= row.columns[k - 1])) {
                kestrova::panic("equation row columns must be ascending and below m + 32: internal error");
            }
            used.push_back(row.columns[k]);
        }
    }
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    const std::size_t width = used.size();
    const std::size_t words = (width + 63) / 64;

    std::vector<Bits> sets(rows.size(), Bits(words, 0));
    std::vector<Cell> values(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (uint64_t c : rows[r].columns) {
            const std::size_t i = std::size_t(std::lower_bound(used.begin(), used.end(), c) - used.begin());
            sets[r][i / 64] |= uint64_t(1) << (i % 64);
        }
        values[r] = rows[r].value;
    }

    std::size_t k = 0;
    for (std::size_t col = 0; col < width && k < sets.size(); ++col) {
        std::size_t p = k;
        while (p < sets.size() && !test(sets[p], col)) ++p;
        if (p == sets.size()) continue;
        std::swap(sets[p], sets[k]);
        std::swap(values[p], values[k]);
        for (std::size_t j = k + 1; j < sets.size(); ++j) {
            if (!test(sets[j], col)) continue;
            for (std::size_t w = 0; w < words; ++w) sets[j][w] ^= sets[k][w];
            xor_into(values[j], values[k]);
        }
        ++k;
    }

    std::vector<std::optional<Cell>> solution(width);
    for (std::size_t r = sets.size(); r-- > 0;) {
        Cell v = values[r];
        std::optional<std::size_t> last_free;
        for (std::size_t w = 0; w < words; ++w) {
            for (uint64_t bits = sets[r][w]; bits != 0; bits &= bits - 1) {
                const std::size_t i = 64 * w + std::size_t(std::countr_zero(bits));
                if (solution[i]) {
                    xor_into(v, *solution[i]);
                } else {
                    const Cell fresh = random_cell(gen);
                    xor_into(v, fresh);
                    solution[i] = fresh;
                    last_free = i;
                }
            }
        }
        if (!last_free) return std::nullopt;
        xor_into(*solution[*last_free], v);
    }

    CoreSolution out;
    for (std::size_t i = 0; i < width; ++i) {
        if (solution[i]) out.push_back({used[i], *solution[i]});
    }
    return out;
}

std::optional<CoreSolution> solve_core(std::vector<EquationRow> rows, uint64_t m) {
    return solve_core(std::move(rows), m, kestrova::random::thread_generator());
}

}  // namespace kestrova::okvs
