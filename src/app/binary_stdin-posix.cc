#include "app/binary_stdin.h"

namespace guestwise {

// Standard input is bytes already.
void readStdinAsBinary() {}

}  // namespace guestwise
