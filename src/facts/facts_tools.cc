#include "facts/facts_tools.h"

#include "app/command_line.h"
#include "detect/detector.h"
#include "facts/facts.h"
#include "facts/recording_host.h"
#include "facts/redaction.h"
#include "facts/replay_host.h"
#include "version.h"

namespace guestwise {

namespace {

// One detection through the program's own entry, with no argument, the
// report kept instead of printed.
int detectWith(Host& host, std::string& report) {
  const char* const arguments[] = {"Guestwise.exe"};
  return runGuestwise(
      1, arguments, [&report](const std::string& text) { report += text; },
      [&host] {
        Detector detector(host);
        return detector.detect();
      });
}

}  // namespace

FactsRun collectFacts(Host& host) {
  RecordingHost recorder(host);
  std::string report;
  const int status = detectWith(recorder, report);
  Facts facts;
  facts.guestwiseVersion = GUESTWISE_VERSION;
  facts.report = Json::parse(report);
  facts.answers = redactedAnswers(recorder.answers());
  return {toFactsText(facts) + "\n", status};
}

ReplayOutcome replayFacts(const std::string& text) {
  try {
    ReplayHost host(parseFacts(text).answers);
    std::string report;
    const int status = detectWith(host, report);
    const std::string mismatch = host.finish();
    if (!mismatch.empty()) return {RefusedStatus, {}, mismatch};
    return {status, report, {}};
  } catch (const FactsError& e) {
    return {RefusedStatus, {}, e.what()};
  }
}

DetectionResult detectOverAnswers(const Json& answers) {
  ReplayHost host(parseAnswers(answers), AfterTheAnswers::EmptyMachine);
  DetectionResult result = Detector(host).detect();
  const std::string mismatch = host.finish();
  if (!mismatch.empty()) throw FactsError(mismatch);
  return result;
}

bool asksForHelp(const std::string& argument) {
  return argument == "-h" || argument == "--help";
}

}  // namespace guestwise
