// GuestwiseReplay FILE: prints the report and returns the exit status that
// Guestwise.exe gave on the machine a facts file describes.
#include "app/replay_main.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/binary_stdin.h"
#include "app/command_line.h"
#include "facts/facts.h"

namespace {

// C streams rather than iostreams keep the exe under half the size. One byte
// past the bound is enough to refuse the file.
bool readFacts(const std::string& name, const guestwise::OpenArgument& open, std::string& bytes) {
  if (name == "-") guestwise::readStdinAsBinary();
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      name == "-" ? stdin : open(),
      [](std::FILE* f) { return f == stdin || f == nullptr ? 0 : std::fclose(f); });
  char buffer[4096];
  for (std::size_t got = 1; file && got > 0 && bytes.size() <= guestwise::MaxFactsBytes;) {
    bytes.append(buffer, got = std::fread(buffer, 1, sizeof buffer, file.get()));
  }
  return file && std::ferror(file.get()) == 0;
}

guestwise::ReplayOutcome replay(const std::string& name, const guestwise::OpenArgument& open) {
  try {
    std::string bytes;
    if (!readFacts(name, open, bytes)) {
      return {std::nullopt, {}, "cannot read " + name, {}};
    }
    return guestwise::replayFacts(bytes);
  } catch (...) {  // out of memory for the file, say: still one line, no crash
    return {std::nullopt, {}, "out of memory", {}};
  }
}

}  // namespace

int guestwise::runReplay(int argc, const char* const argv[], const OpenArgument& open) {
  if (argc != 2 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
    return guestwise::printUsage(
        "Usage: GuestwiseReplay FILE\n"
        "Replays the detection recorded in FILE (a GuestwiseFacts document; - reads standard "
        "input)\n",
        argc, argv);
  }
  const guestwise::ReplayOutcome outcome = replay(argv[1], open);
  // Text mode, as Guestwise.exe writes: CR LF on Windows.
  std::fwrite(outcome.report.data(), 1, outcome.report.size(), stdout);
  std::fflush(stdout);
  const std::string line = outcome.refusal + outcome.difference;
  if (!line.empty()) std::fprintf(stderr, "GuestwiseReplay: %s\n", line.c_str());
  return outcome.status.value_or(guestwise::RefusedStatus);
}
