// GuestwiseFacts.exe: runs one detection as Guestwise.exe does and prints
// what the probes read, redacted, for a bug report; returns Guestwise.exe's
// exit status.
#include <cstdio>
#include <exception>
#include <string>

#include "facts/facts_tools.h"

int main(int argc, char*[]) {
  if (argc > 1) {
    std::fputs(
        "Usage: GuestwiseFacts.exe > facts.json\n"
        "Prints what one detection read on this machine; GuestwiseReplay replays it\n",
        stderr);
    return guestwise::RefusedStatus;
  }
  try {
    const guestwise::FactsRun run = guestwise::collectFacts(guestwise::platformHost());
    std::fwrite(run.document.data(), 1, run.document.size(), stdout);
    std::fflush(stdout);
    return run.status;
  } catch (const std::exception& e) {
    std::fputs((std::string("GuestwiseFacts: ") + e.what() + "\n").c_str(), stderr);
    return guestwise::RefusedStatus;
  }
}
