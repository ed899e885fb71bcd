#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "app/binary_stdin.h"

namespace guestwise {

void readStdinAsBinary() {
  _setmode(_fileno(stdin), _O_BINARY);
}

}  // namespace guestwise
