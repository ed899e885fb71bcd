#include "detect/detector.h"
#include "detect/signature_tables.h"
#include "facts/facts.h"
#include "probes/probe_rules.h"
#include "probes/text_match.h"
#include "report/detection_report.h"

namespace guestwise {

namespace {

// One detection as Guestwise.exe makes it, the report kept instead of
// printed.
int detectWith(Host& host, std::string& report) {
  return reportDetection([&report](const std::string& text) { report += text; },
                         [&host] { return Detector(host).detect(); });
}

// What would identify a machine goes, and nothing that a probe judges: a MAC
// address keeps its vendor prefix, a BIOS serial number stays only when a
// probe can tell from it, and of the processes only the listed guest tools
// stay, with a count of the others.
void redactRow(Json& row) {
  for (auto& [name, value] : row.items()) {
    std::string text = value;
    if (name == "MACAddress" && text.size() > MacPrefixLength) {
      text.replace(MacPrefixLength, text.npos, text.size() - MacPrefixLength, 'x');
    }
    const bool kept = name != "SerialNumber" || text.empty() || isTellingBiosSerial(text);
    value = kept ? text : "[redacted]";
  }
}

void redact(Json& answers) {
  for (Json& answer : answers) {
    if (answer["kind"] == "wmi" && answer.contains("rows") && !answer["rows"].is_null()) {
      for (Json& row : answer["rows"]) redactRow(row);
    }
    if (answer["kind"] != "processes" || answer["names"].is_null()) continue;
    Json listed = Json::array();
    for (const std::string name : answer["names"]) {
      bool isListed = false;
      for (const auto& entry : ProcessSignatures) isListed |= equalsIgnoreCase(name, entry.first);
      if (isListed) listed.push_back(name);
    }
    answer["others"] = answer["names"].size() - listed.size();
    answer["names"] = listed;
  }
}

// Where the replay first differs from the file, `left` aside.
std::string difference(const char* what, const char* where, Json replayed, Json recorded,
                       const char* left) {
  for (Json* value : {&replayed, &recorded}) {
    if (value->is_object()) value->erase(left);
    for (Json& item : *value) {
      if (item.is_object()) item.erase(left);
    }
  }
  const auto found = firstDifference(replayed, recorded, where);
  return found ? what + *found : "";
}

}  // namespace

int collectFacts(Host& host, std::string& document) {
  FactsHost recorder(host);
  std::string report;
  const int status = detectWith(recorder, report);
  redact(recorder.records());
  // After the detection, which never reads the processor.
  document = factsText(Json::parse(report), recorder.records(), processorFacts(recorder)) + "\n";
  return status;
}

ReplayOutcome replayFacts(const std::string& bytes) {
  try {
    const Json document = parseFacts(bytes);
    const auto processor = document.find("processor");
    const Json* recorded = processor == document.end() ? nullptr : &*processor;
    FactsHost replay(document.at("answers"), SIZE_MAX, recorded);
    // The section is no answer to the probes: it must only say what its own
    // registers say, whatever the report.
    if (recorded) {
      if (const auto differs = firstDifference(processorFacts(replay), *recorded, "/processor")) {
        return {{}, {}, "the processor section does not fit its registers " + *differs, {}};
      }
    }
    std::string report;
    const int status = detectWith(replay, report);
    // It fits when the probes asked what the file answers, in that order;
    // the count of unlisted processes is the file's alone.
    const std::string misfit = difference("the file does not fit the probes' calls ", "/answers",
                                          replay.records(), document.at("answers"), "others");
    if (!misfit.empty()) return {{}, {}, misfit, {}};
    return {status,
            report,
            {},
            difference("the replay differs from the recorded report ", "", Json::parse(report),
                       document.at("report"), "detectionTimeMs")};
  } catch (const std::exception& e) {  // allocation failure included
    return {{}, {}, e.what(), {}};
  }
}

DetectionResult detectOverAnswers(const Json& answers) {
  FactsHost host(answers, answers.size());
  DetectionResult result = Detector(host).detect();
  const Json& asked = host.records();
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const std::string where = "/answers/" + std::to_string(i);
    const auto found = i < asked.size() ? firstDifference(asked[i], answers[i], where)
                                        : "at " + where + ": the probes asked no more";
    if (found) throw std::runtime_error("the answers do not fit the probes' calls " + *found);
  }
  return result;
}

}  // namespace guestwise
