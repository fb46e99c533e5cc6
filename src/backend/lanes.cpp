#include "backend/lanes.h"

#include "ct/wipe.h"

namespace kestrova::backend::lanes {

void split_digits(const group::Scalar& s, int lanes, int64_t* even, int64_t* odd) {
    int8_t e[64];
    group::scalar_signed_radix16(s, e);
    const int steps = 32 / lanes;
    for (int step = 0; step < steps; ++step) {
        for (int lane = 0; lane < lanes; ++lane) {
            const int row = steps * lane + step;
            even[step * lanes + lane] = e[2 * row];
            odd[step * lanes + lane] = e[2 * row + 1];
        }
    }
    ct::wipe(e, sizeof e);
}

}  // namespace kestrova::backend::lanes
