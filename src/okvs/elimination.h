// Solving the core: each core edge is one equation over GF(2) on the cells it
// touches. Columns 0..m-1 are the sparse cells, m+j is dense cell j.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "okvs/cell.h"
#include "okvs/graph.h"
#include "random/generator.h"

namespace kestrova::okvs {

struct EquationRow {
    std::vector<uint64_t> columns;  // ascending, each at most once
    Cell value;
};

// One row per core edge, in the given order: no sparse column for a self-loop,
// otherwise min and max of its cells; then the dense columns of its mask.
std::vector<EquationRow> core_rows(std::span<const CoreEdge> core, const EdgeEnds& edges,
                                   std::span<const Cell> values, uint64_t m);

struct SolvedCell {
    uint64_t column;
    Cell cell;
};
using CoreSolution = std::vector<SolvedCell>;  // ascending columns

// Forward elimination, then back-substitution from the last row up; a free column
// gets a random cell when first met, and the last free column of a row solves it.
// Empty when a row ends with no free column (the equations are dependent).
std::optional<CoreSolution> solve_core(std::vector<EquationRow> rows, uint64_t m,
                                       kestrova::random::Generator& gen);
std::optional<CoreSolution> solve_core(std::vector<EquationRow> rows, uint64_t m);

}  // namespace kestrova::okvs
