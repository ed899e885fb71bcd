#pragma once

// Every Windows-only file includes <windows.h> through here, so that each
// compiles under the same macros in every exe: none of the rarely used
// APIs, and no min and max macros in the way of std::min and std::max.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
