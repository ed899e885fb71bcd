#include "app/command_line.h"

#include <cstring>
#include <exception>
#include <string>

#include "report/json_report_writer.h"
#include "version.h"

namespace guestwise {

namespace {

void printErrorReport(std::ostream& out, const std::string& message) {
  out << JsonReportWriter::toJson(false, "Unknown", 0, {}, 0, message) << std::endl;
}

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

void printHelp(std::ostream& out) {
  out << "Kestrova Guestwise v" GUESTWISE_VERSION " (C++)" << std::endl;
  out << "Usage: Guestwise.exe [options]" << std::endl;
  out << std::endl;
  out << "Options:" << std::endl;
  out << "  --help, -h     Show this help message" << std::endl;
  out << "  --version, -v  Show version information" << std::endl;
  out << std::endl;
  out << "Output: JSON object with detection results to stdout" << std::endl;
}

void printVersion(std::ostream& out) {
  out << GUESTWISE_VERSION << std::endl;
}

int runGuestwise(int argc, const char* const argv[], std::ostream& out,
                 const DetectionRun& runDetection) {
  switch (scanArguments(argc, argv)) {
    case CommandLineAction::ShowHelp: printHelp(out); return 0;
    case CommandLineAction::ShowVersion: printVersion(out); return 0;
    case CommandLineAction::RunDetection: break;
  }
  try {
    const DetectionResult result = runDetection();
    out << JsonReportWriter::toJson(result.isVirtualMachine, result.vendor, result.confidence,
                                    result.evidence, result.detectionTimeMs, result.error)
        << std::endl;
    return result.isVirtualMachine ? 1 : 0;
  } catch (const std::exception& e) {
    printErrorReport(out, e.what());
  } catch (...) {
    // Whatever escapes still ends in a report, never in an abort.
    printErrorReport(out, "unknown exception");
  }
  return -1;
}

}  // namespace guestwise
