#include "app/command_line.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace guestwise {
namespace {

constexpr char HelpText[] =
    "Kestrova Guestwise v1.0.0 (C++)\n"
    "Usage: Guestwise.exe [options]\n"
    "\n"
    "Options:\n"
    "  --help, -h     Show this help message\n"
    "  --version, -v  Show version information\n"
    "\n"
    "Output: JSON object with detection results to stdout\n";

struct Outcome {
  int status;
  std::string output;
  int detections;
};

Outcome run(std::vector<const char*> arguments, const DetectionRun& detection) {
  arguments.insert(arguments.begin(), "Guestwise.exe");
  std::string out;
  int detections = 0;
  const int status = runGuestwise(
      static_cast<int>(arguments.size()), arguments.data(),
      [&](const std::string& text) { out += text; },
      [&] {
        ++detections;
        return detection();
      });
  return {status, out, detections};
}

DetectionResult vmFound() {
  DetectionResult result;
  result.isVirtualMachine = true;
  result.vendor = "QEMU";
  result.confidence = 35;
  result.evidence = {"x"};
  return result;
}

DetectionResult nothingFound() {
  return {};
}

TEST(CommandLine, FirstExactOptionDecides) {
  using A = CommandLineAction;
  const auto scan = [](std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "-h");  // element 0 is never examined
    return scanArguments(static_cast<int>(arguments.size()), arguments.data());
  };
  EXPECT_EQ(scan({}), A::RunDetection);
  EXPECT_EQ(scan({"--help"}), A::ShowHelp);
  EXPECT_EQ(scan({"-h"}), A::ShowHelp);
  EXPECT_EQ(scan({"--version"}), A::ShowVersion);
  EXPECT_EQ(scan({"-v"}), A::ShowVersion);
  EXPECT_EQ(scan({"-v", "-h"}), A::ShowVersion);
  EXPECT_EQ(scan({"-h", "-v"}), A::ShowHelp);
  EXPECT_EQ(scan({"x", "--version"}), A::ShowVersion);
  EXPECT_EQ(scan({"foo", "-h"}), A::ShowHelp);
  for (const char* ignored : {"--HELP", "-V", "-hv", "--help=1", "/?", "", "--helpme", "-", "--"}) {
    EXPECT_EQ(scan({ignored}), A::RunDetection) << ignored;
  }
}

TEST(CommandLine, HostileArgumentsAreIgnored) {
  const std::string huge(100 * 1024, 'h');
  const std::vector<std::string> many(1000, "-hv");
  std::vector<const char*> arguments = {huge.c_str(), "\xe9\xff-h", "", "-\x80"};
  for (const std::string& argument : many) arguments.push_back(argument.c_str());
  const Outcome outcome = run(arguments, nothingFound);
  EXPECT_EQ(outcome.detections, 1);
  EXPECT_EQ(outcome.status, 0);
  arguments.push_back("-v");  // still found after all of them
  EXPECT_EQ(run(arguments, nothingFound).output, "1.0.0\n");
}

TEST(CommandLine, HelpAndVersionPrintTheirTextsWithoutADetection) {
  for (const char* option : {"-h", "--help"}) {
    const Outcome outcome = run({option}, vmFound);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, HelpText);
    EXPECT_EQ(outcome.detections, 0);
  }
  for (const char* option : {"-v", "--version"}) {
    const Outcome outcome = run({option}, vmFound);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "1.0.0\n");
    EXPECT_EQ(outcome.detections, 0);
  }
}

TEST(CommandLine, DetectionPrintsOneReportAndMapsTheVerdict) {
  const Outcome vm = run({"--HELP"}, vmFound);
  EXPECT_EQ(vm.status, 1);
  EXPECT_EQ(vm.detections, 1);
  EXPECT_EQ(vm.output.substr(0, 30), "{\n  \"isVirtualMachine\": true,\n");
  EXPECT_EQ(vm.output.substr(vm.output.size() - 3), "\n}\n");

  const Outcome clean = run({}, nothingFound);
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.output,
            "{\n  \"isVirtualMachine\": false,\n  \"vendor\": \"Unknown\",\n  \"confidence\": 0,\n"
            "  \"evidence\": [],\n  \"detectionTimeMs\": 0,\n  \"error\": null\n}\n");
}

TEST(CommandLine, ErrorInsideTheResultKeepsTheVerdictStatus) {
  const Outcome outcome = run({}, [] {
    DetectionResult result;
    result.error = "probe failed";
    return result;
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.output.find("\"error\": \"probe failed\""), std::string::npos);
}

std::string errorReport(const std::string& error) {
  return "{\n  \"isVirtualMachine\": false,\n  \"vendor\": \"Unknown\",\n  \"confidence\": 0,\n"
         "  \"evidence\": [],\n  \"detectionTimeMs\": 0,\n  \"error\": " +
         error + "\n}\n";
}

TEST(CommandLine, EscapedExceptionsBecomeAnErrorReportWithStatusMinusOne) {
  const Outcome standard =
      run({}, []() -> DetectionResult { throw std::runtime_error("bad \"x\""); });
  EXPECT_EQ(standard.status, -1);
  EXPECT_EQ(standard.output, errorReport("\"bad \\\"x\\\"\""));

  const Outcome noMessage = run({}, []() -> DetectionResult { throw std::runtime_error(""); });
  EXPECT_EQ(noMessage.status, -1);
  EXPECT_EQ(noMessage.output, errorReport("null"));

  const Outcome other = run({}, []() -> DetectionResult { throw 7; });
  EXPECT_EQ(other.status, -1);
  EXPECT_EQ(other.output, errorReport("\"unknown exception\""));
}

TEST(CommandLine, WriterThrowingOnTheReportGivesTheErrorReportAndStatusMinusOne) {
  // A verdict of either kind: the failed write decides the status.
  for (const DetectionRun& detection : {DetectionRun(vmFound), DetectionRun(nothingFound)}) {
    const char* const arguments[] = {"Guestwise.exe"};
    std::string out;
    int writes = 0;
    const int status = runGuestwise(
        1, arguments,
        [&](const std::string& text) {
          if (++writes == 1) throw std::runtime_error("write failed");
          out += text;
        },
        detection);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(out, errorReport("\"write failed\""));
  }
}

}  // namespace
}  // namespace guestwise
