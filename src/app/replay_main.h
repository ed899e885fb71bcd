#pragma once

#include <cstdio>
#include <functional>

namespace guestwise {

// Opens the file that the one argument names, for reading bytes, by the
// name the platform gave (on Windows its UTF-16 text, so that a name outside
// the ANSI code page opens too); nullptr when it does not open.
using OpenArgument = std::function<std::FILE*()>;

// GuestwiseReplay once the entry point has its arguments, in UTF-8: prints
// the usage, or the report of the file that `open` opens ("-" reads standard
// input), and returns the exit status.
int runReplay(int argc, const char* const argv[], const OpenArgument& open);

}  // namespace guestwise
