#include "app/dll_search.h"

namespace guestwise {

// The dynamic loader here searches neither the program's folder nor the
// working directory unless told to (RPATH, LD_LIBRARY_PATH): nothing to do.
void restrictDllSearchToSystem32() {}

}  // namespace guestwise
