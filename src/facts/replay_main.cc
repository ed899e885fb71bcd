// GuestwiseReplay FILE: prints the report and returns the exit status that
// Guestwise.exe gave on the machine a facts file describes.
#include <cstdio>
#include <memory>
#include <string>

#include "facts/facts_tools.h"

namespace {

constexpr char Usage[] =
    "Usage: GuestwiseReplay FILE\n"
    "Replays the detection recorded in FILE (a GuestwiseFacts document; - reads standard input)\n";

// C streams rather than iostreams: they keep the exe under half the size.
bool readAll(std::FILE* in, std::string& text) {
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
  return std::ferror(in) == 0;
}

bool readFacts(const std::string& name, std::string& text) {
  if (name == "-") return readAll(stdin, text);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "rb"),
                                                             &std::fclose);
  return file != nullptr && readAll(file.get(), text);
}

int refuse(const std::string& why) {
  std::fputs(("GuestwiseReplay: " + why + "\n").c_str(), stderr);
  return guestwise::RefusedStatus;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 2 && guestwise::asksForHelp(argv[1])) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (argc != 2) {
    std::fputs(Usage, stderr);
    return guestwise::RefusedStatus;
  }
  std::string text;
  if (!readFacts(argv[1], text)) return refuse(std::string("cannot read ") + argv[1]);
  const guestwise::ReplayOutcome outcome = guestwise::replayFacts(text);
  if (!outcome.refusal.empty()) return refuse(outcome.refusal);
  // Text mode, as Guestwise.exe writes: CR LF on Windows.
  std::fwrite(outcome.report.data(), 1, outcome.report.size(), stdout);
  std::fflush(stdout);
  return outcome.status;
}
