#pragma once

#include <string>
#include <vector>

#include "okvs/cell.h"

// Keys shaped like joined row columns; values are arbitrary cells.
inline void make_bench_pairs(std::size_t n, std::vector<std::string>& keys, std::vector<kestrova::okvs::Cell>& values) {
    keys.clear();
    values.clear();
    keys.reserve(n);
    values.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys.push_back("customer-" + std::to_string(i * 2654435761u % 1000000007u) + "NL91ABNA" + std::to_string(i));
        kestrova::okvs::Cell c;
        for (std::size_t b = 0; b < kestrova::okvs::kCellBytes; ++b) c[b] = uint8_t(i * 31 + b * 7);
        values.push_back(c);
    }
}
