#include "okvs/cell.h"

namespace okvs {

Cell random_cell() { return random_cell(kestrova::random::thread_generator()); }

}  // namespace okvs
