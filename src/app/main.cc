#include <cstdio>

#include "app/command_line.h"
#include "app/dll_search.h"
#include "guestwise/guestwise.h"

int main(int argc, char* argv[]) {
  // Before COM or anything else that may load a DLL by bare name.
  guestwise::restrictDllSearchToSystem32();
  // stdout stays in text mode: on Windows each line feed leaves as CR LF.
  const auto writeToStdout = [](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  return guestwise::runGuestwise(argc, argv, writeToStdout, guestwise::detect);
}
