#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "app/command_line.h"
#include "detect/detector.h"
#include "facts/facts.h"
#include "facts/facts_tools.h"
#include "fake_host.h"

namespace guestwise {
namespace {

using testing::FakeHost;
using testing::FakeRow;

// The report with its measured time left out (no std::regex: GCC 12 warns
// inside it under the sanitizers).
std::string withoutTime(std::string report) {
  const std::string key = "\"detectionTimeMs\": ";
  const std::size_t start = report.find(key);
  if (start == std::string::npos) return report;
  const std::size_t digits = start + key.size();
  return report.replace(digits, report.find_first_not_of("0123456789", digits) - digits, "T");
}

// What Guestwise.exe prints, and its status, on the scripted machine.
ReplayOutcome guestwiseOn(Host& host) {
  std::string report;
  const char* const arguments[] = {"Guestwise.exe"};
  const int status = runGuestwise(
      1, arguments, [&](const std::string& text) { report += text; },
      [&] { return Detector(host).detect(); });
  return {status, report, {}};
}

Json factsOn(FakeHost& host) {
  return Json::parse(collectFacts(host).document);
}

ReplayOutcome replay(const Json& facts) {
  return replayFacts(facts.dump());
}

void expectSame(const ReplayOutcome& replayed, const ReplayOutcome& original) {
  EXPECT_EQ(replayed.refusal, "");
  EXPECT_EQ(withoutTime(replayed.report), withoutTime(original.report));
  EXPECT_EQ(replayed.status, original.status);
}

// Every redacted value carries a finding, so a redaction that changed what a
// probe judges would change the replayed report.
TEST(Facts, RedactedFactsReplayToTheReportAndStatusOfTheRun) {
  FakeHost machine;
  machine.rowsByClass[L"Win32_BIOS"] = {
      FakeRow({{L"Manufacturer", "Phoenix"}, {L"SerialNumber", "VMware-56 4d 9a"}}),
      FakeRow({{L"SerialNumber", "qemu-7F3A"}}), FakeRow({{L"SerialNumber", "7XK3JQ2"}})};
  machine.rowsByClass[L"Win32_NetworkAdapter"] = {
      FakeRow({{L"MACAddress", "08:00:27:4F:2A:11"}, {L"Name", "eth0"}}),
      FakeRow({{L"MACAddress", "b0:7b:25:01:02:03"}, {L"Name", "eno1"}})};
  machine.processes = std::vector<std::string>{"System", "VBOXSERVICE.EXE", "explorer.exe",
                                               "VBoxService.exe", "vmtoolsd"};
  const ReplayOutcome original = guestwiseOn(machine);
  ASSERT_EQ(original.status, 1);

  const FactsRun run = collectFacts(machine);
  ASSERT_EQ(run.document.back(), '\n');
  EXPECT_EQ(run.status, original.status);
  const Json facts = Json::parse(run.document);
  EXPECT_EQ(facts["format"], 1);
  Json printed = Json::parse(original.report), recorded = facts["report"];
  printed.erase("detectionTimeMs");
  recorded.erase("detectionTimeMs");
  EXPECT_EQ(recorded, printed);
  const Json& answers = facts["answers"];
  ASSERT_EQ(answers.size(), 28u);
  EXPECT_EQ(answers[1]["rows"], Json::parse(R"([
      {"Manufacturer": "Phoenix", "SerialNumber": "VMware-56 4d 9a", "Version": ""},
      {"Manufacturer": "", "SerialNumber": "qemu-7F3A", "Version": ""},
      {"Manufacturer": "", "SerialNumber": "[redacted]", "Version": ""}])"));
  EXPECT_EQ(answers[11], Json::parse(R"({"kind": "processes",
      "names": ["VBOXSERVICE.EXE", "VBoxService.exe"], "others": 3})"));
  EXPECT_EQ(answers[22]["rows"], Json::parse(R"([
      {"MACAddress": "08:00:27xxxxxxxxx", "Name": "eth0"},
      {"MACAddress": "b0:7b:25xxxxxxxxx", "Name": "eno1"}])"));
  expectSame(replay(facts), original);
}

TEST(Facts, ReplayAnswersFromTheFile) {
  FakeHost blank;
  Json facts = factsOn(blank);
  for (int wmi : {0, 1, 2, 3, 22}) facts["answers"][wmi] = {{"kind", "wmi"}, {"connected", false}};
  facts["answers"][6]["opens"] = true;
  facts["answers"][11] = {{"kind", "processes"}, {"names", {"qemu-ga.exe"}}};
  const ReplayOutcome outcome = replay(facts);
  EXPECT_EQ(outcome.refusal, "");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.report.find(R"("evidence": [
    "[Warning] WMI initialization failed",
    "Registry key exists: HKLM\\SOFTWARE\\Parallels\\Parallels Tools",
    "VM process detected: qemu-ga.exe"
  ],)"),
            std::string::npos)
      << outcome.report;
}

TEST(Facts, ReplayRefusesAFileThatDoesNotFitTheCalls) {
  FakeHost machine;
  machine.rowsByClass[L"Win32_ComputerSystem"] = {
      FakeRow({{L"Manufacturer", "QEMU"}, {L"Model", "Standard PC"}})};
  const Json facts = factsOn(machine);
  const std::string refused = "does not follow the facts format: ";
  const struct {
    std::function<void(Json&)> change;
    std::string refusal;
  } cases[] = {
      {[](Json& f) { f["format"] = 2; }, refused + "/format is 2; this replay reads format 1"},
      {[](Json& f) { f.erase("answers"); }, refused + "the document has no member \"answers\""},
      {[](Json& f) { f["answers"][4]["opens"] = "yes"; },
       refused + "/answers/4/opens must be true or false"},
      {[](Json& f) { f["answers"][12]["kind"] = "dir"; },
       refused + "/answers/12/kind is \"dir\", not one of wmi, registryKey, windowsDirectory, "
                 "path, processes"},
      {[](Json& f) {
         f["answers"][4] = {{"kind", "path"}, {"path", "C:\\x"}, {"exists", true}};
       },
       "answer 5: the probes asked for registry key "
       "\"SOFTWARE\\\\Microsoft\\\\Virtual Machine\\\\Guest\\\\Parameters\", the file holds path "
       "\"C:\\\\x\""},
      {[](Json& f) { std::swap(f["answers"][13], f["answers"][14]); },
       "answer 14: the probes asked for path "
       "\"C:\\\\Windows\\\\System32\\\\drivers\\\\VBoxGuest.sys\", the file holds path "
       "\"C:\\\\Windows\\\\System32\\\\drivers\\\\VBoxMouse.sys\""},
      {[](Json& f) { f["answers"][0]["query"] = "SELECT * FROM Win32_ComputerSystem"; },
       "answer 1: the probes asked for WMI query \"SELECT Manufacturer, Model FROM "
       "Win32_ComputerSystem\", the file holds WMI query \"SELECT * FROM Win32_ComputerSystem\""},
      {[](Json& f) {
         f["answers"][0]["rows"][0] = {{"Model", "Standard PC"}};
       },
       "answer 1, row 1: the probes asked for property \"Manufacturer\", the file holds "
       "property \"Model\""},
      {[](Json& f) { f["answers"][0]["rows"][0]["Caption"] = "x"; },
       "answer 1, row 1: the probes asked for no more properties, the file holds property "
       "\"Caption\""},
      {[](Json& f) { f["answers"].erase(27); },
       "answer 28: the probes asked for path \"C:\\\\Windows\\\\System32\\\\vmGuestLib.dll\", "
       "the file holds no more answers"},
      {[](Json& f) { f["answers"].push_back(f["answers"][12]); },
       "answer 29: the probes asked for nothing more, the file holds the Windows directory (1 "
       "answer left over)"},
  };
  for (const auto& c : cases) {
    Json changed = facts;
    c.change(changed);
    const ReplayOutcome outcome = replay(changed);
    EXPECT_EQ(outcome.refusal, c.refusal);
    EXPECT_EQ(outcome.status, RefusedStatus);
    EXPECT_EQ(outcome.report, "");
  }
  EXPECT_EQ(replayFacts("{\"format\": 1,").refusal,
            "not JSON: parse error at line 1, column 14: syntax error while parsing object key - "
            "unexpected end of input; expected string literal");
  EXPECT_EQ(replayFacts("[1e999]").refusal, "not JSON: number overflow parsing '1e999'");
}

// Past the answers WMI still connects (a refused connection would add the
// warning line) and finds nothing; answers that do not fit are refused.
TEST(Facts, DetectOverAnswersMeetsAnEmptyMachineAfterTheLastAnswer) {
  EXPECT_EQ(detectOverAnswers(Json::array()).evidence, std::vector<std::string>{});
  const Json qemu = Json::parse(R"json([{"kind": "wmi", "connected": true,
      "query": "SELECT Manufacturer, Model FROM Win32_ComputerSystem",
      "rows": [{"Manufacturer": "QEMU", "Model": "Standard PC (i440FX + PIIX, 1996)"}]}])json");
  const DetectionResult result = detectOverAnswers(qemu);
  EXPECT_EQ(
      result.evidence,
      (std::vector<std::string>{"Win32_ComputerSystem.Manufacturer = QEMU",
                                "Win32_ComputerSystem.Model = Standard PC (i440FX + PIIX, 1996)"}));
  EXPECT_EQ((std::tuple(result.isVirtualMachine, result.vendor, result.confidence)),
            std::tuple(true, "QEMU", 45));
  Json misfit = qemu;
  misfit[0]["rows"][0].erase("Model");
  EXPECT_THROW(detectOverAnswers(misfit), FactsError);
  EXPECT_THROW(detectOverAnswers(Json::array({1})), FactsError);
}

}  // namespace
}  // namespace guestwise
