#pragma once

#include <string>

#include "detect/detection_result.h"
#include "facts/facts.h"
#include "probes/host.h"

namespace guestwise {

// What GuestwiseFacts prints (the facts document, redacted, and one line
// break) and the exit status Guestwise.exe gives for the same run.
struct FactsRun {
  std::string document;
  int status;
};
FactsRun collectFacts(Host& host);

// GuestwiseReplay's answer to the text of a facts file: the report and exit
// status of the recorded run, or, when the file cannot be replayed, status
// RefusedStatus, no report and the one line that says why.
inline constexpr int RefusedStatus = 2;
struct ReplayOutcome {
  int status;
  std::string report;
  std::string refusal;
};
ReplayOutcome replayFacts(const std::string& text);

// One detection over a machine that gives these answers (a facts document's
// "answers" array), in order, and after the last of them nothing: no WMI row,
// no registry key, no path, no process, no Windows directory. Throws
// FactsError when the answers break the format or do not fit the calls.
DetectionResult detectOverAnswers(const Json& answers);

// Whether a tool's only argument asks for its usage ("-h" or "--help"),
// which then goes to standard output with status 0.
bool asksForHelp(const std::string& argument);

}  // namespace guestwise
