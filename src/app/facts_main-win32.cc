// GuestwiseFacts.exe: runs one detection as Guestwise.exe does and prints
// what the probes read, redacted, for a bug report; returns Guestwise.exe's
// exit status.
#include <cstdio>
#include <exception>
#include <string>

#include "app/command_line.h"
#include "app/dll_search.h"
#include "facts/facts.h"

int main(int argc, char* argv[]) {
  // Before COM or anything else that may load a DLL by bare name.
  guestwise::restrictDllSearchToSystem32();
  if (argc > 1) {
    return guestwise::printUsage(
        "Usage: GuestwiseFacts.exe > facts.json\n"
        "Prints what one detection read on this machine; GuestwiseReplay replays it\n",
        argc, argv);
  }
  try {
    std::string document;
    const int status = guestwise::collectFacts(guestwise::platformHost(), document);
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fflush(stdout);
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "GuestwiseFacts: %s\n", e.what());
    return guestwise::RefusedStatus;
  }
}
