#include "app/command_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "version.h"

namespace guestwise {

namespace {

constexpr char HelpText[] = "Kestrova Guestwise v" GUESTWISE_VERSION
                            " (C++)\n"
                            "Usage: Guestwise.exe [options]\n"
                            "\n"
                            "Options:\n"
                            "  --help, -h     Show this help message\n"
                            "  --version, -v  Show version information\n"
                            "\n"
                            "Output: JSON object with detection results to stdout\n";

}  // namespace

CommandLineAction scanArguments(int argc, const char* const argv[]) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
      return CommandLineAction::ShowHelp;
    }
    if (std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "-v") == 0) {
      return CommandLineAction::ShowVersion;
    }
  }
  return CommandLineAction::RunDetection;
}

int runGuestwise(int argc, const char* const argv[], const OutputWriter& write,
                 const DetectionRun& runDetection) {
  switch (scanArguments(argc, argv)) {
    case CommandLineAction::ShowHelp: write(HelpText); return 0;
    case CommandLineAction::ShowVersion: write(GUESTWISE_VERSION "\n"); return 0;
    case CommandLineAction::RunDetection: break;
  }
  return reportDetection(write, runDetection);
}

int printUsage(const char* usage, int argc, const char* const argv[]) {
  const bool asked =
      argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help");
  std::fputs(usage, asked ? stdout : stderr);
  return asked ? 0 : RefusedStatus;
}

}  // namespace guestwise
