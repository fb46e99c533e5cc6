#include "okvs/cell.h"

namespace kestrova::okvs {

Cell random_cell() { return random_cell(kestrova::random::thread_generator()); }

}  // namespace kestrova::okvs
