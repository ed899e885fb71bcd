// GuestwiseReplay's entry on the build machine: the arguments are the
// bytes of the file names as they are.
#include <cstdio>

#include "app/dll_search.h"
#include "app/replay_main.h"

int main(int argc, char* argv[]) {
  guestwise::restrictDllSearchToSystem32();
  return guestwise::runReplay(argc, argv, [&] { return std::fopen(argv[1], "rb"); });
}
