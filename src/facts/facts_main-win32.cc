// GuestwiseFacts.exe: runs one detection as Guestwise.exe does and prints
// what the probes read, redacted, for a bug report; returns Guestwise.exe's
// exit status.
#include <cstdio>
#include <exception>
#include <string>

#include "facts/facts_tools.h"

namespace {

constexpr char Usage[] =
    "Usage: GuestwiseFacts.exe > facts.json\n"
    "Prints what one detection read on this machine; GuestwiseReplay replays it\n";

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 2 && guestwise::asksForHelp(argv[1])) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fputs(Usage, stderr);
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
