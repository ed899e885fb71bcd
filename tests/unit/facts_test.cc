#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

#include "app/command_line.h"
#include "detect/detector.h"
#include "facts/facts.h"
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
  return {status, report, {}, {}};
}

std::string factsOf(Host& host) {
  std::string document;
  collectFacts(host, document);
  return document;
}

ReplayOutcome replay(const Json& facts) {
  return replayFacts(facts.dump());
}

void expectSame(const ReplayOutcome& replayed, const ReplayOutcome& original) {
  EXPECT_EQ(replayed.refusal, "");
  EXPECT_EQ(replayed.difference, "");
  EXPECT_EQ(withoutTime(replayed.report), withoutTime(original.report));
  EXPECT_EQ(replayed.status, original.status);
}

// The position of the first record that `fits`, found rather than counted,
// so that a new table entry moves no test.
std::size_t indexOf(const Json& answers, const std::function<bool(const Json&)>& fits) {
  for (std::size_t i = 0; i < answers.size(); ++i) {
    if (fits(answers[i])) return i;
  }
  ADD_FAILURE() << "no such record";
  return 0;
}

std::function<bool(const Json&)> kind(const char* name) {
  return [name](const Json& record) { return record["kind"] == name; };
}

std::function<bool(const Json&)> queryOf(const std::string& wmiClass) {
  return [wmiClass](const Json& record) {
    return record.value("query", "").find("FROM " + wmiClass) != std::string::npos;
  };
}

FakeHost qemuGuest() {
  FakeHost machine;
  machine.rowsByClass[L"Win32_ComputerSystem"] = {
      FakeRow({{L"Manufacturer", "QEMU \xCE\xA9"}, {L"Model", "Standard PC"}})};
  machine.processes = std::vector<std::string>{"explorer.exe", "qemu-ga.exe"};
  return machine;
}

// Every redacted value carries a finding, so a redaction that changed what a
// probe judges would change the replayed report; the refused query must
// replay as refused.
TEST(Facts, RedactedFactsReplayToTheReportAndStatusOfTheRun) {
  FakeHost machine;
  machine.rowsByClass[L"Win32_BIOS"] = {
      FakeRow({{L"Manufacturer", "Phoenix"}, {L"SerialNumber", "VMware-56 4d 9a"}}),
      FakeRow({{L"SerialNumber", "qemu-7F3A"}}), FakeRow({{L"SerialNumber", "7XK3JQ2"}})};
  machine.rowsByClass[L"Win32_NetworkAdapter"] = {
      FakeRow({{L"MACAddress", "08:00:27:4F:2A:11"}, {L"Name", "eth0"}}),
      FakeRow({{L"MACAddress", "b0:7b:25:01:02:03"}, {L"Name", "eno1"}})};
  machine.refusedClasses = {L"Win32_DiskDrive"};
  machine.processes = std::vector<std::string>{"System", "VBOXSERVICE.EXE", "explorer.exe",
                                               "VBoxService.exe", "vmtoolsd"};
  const ReplayOutcome original = guestwiseOn(machine);
  ASSERT_EQ(original.status, 1);

  std::string document;
  EXPECT_EQ(collectFacts(machine, document), original.status);
  ASSERT_EQ(document.back(), '\n');
  const Json facts = Json::parse(document);
  EXPECT_EQ(facts["format"], 1);
  Json printed = Json::parse(original.report), recorded = facts["report"];
  printed.erase("detectionTimeMs");
  recorded.erase("detectionTimeMs");
  EXPECT_EQ(recorded, printed);
  const Json& answers = facts["answers"];
  EXPECT_EQ(answers[indexOf(answers, queryOf("Win32_BIOS"))]["rows"], Json::parse(R"([
      {"Manufacturer": "Phoenix", "SerialNumber": "VMware-56 4d 9a", "Version": ""},
      {"Manufacturer": "", "SerialNumber": "qemu-7F3A", "Version": ""},
      {"Manufacturer": "", "SerialNumber": "[redacted]", "Version": ""}])"));
  EXPECT_EQ(answers[indexOf(answers, kind("processes"))], Json::parse(R"({"kind": "processes",
      "names": ["VBOXSERVICE.EXE", "VBoxService.exe"], "others": 3})"));
  EXPECT_EQ(answers[indexOf(answers, queryOf("Win32_NetworkAdapter"))]["rows"], Json::parse(R"([
      {"MACAddress": "08:00:27xxxxxxxxx", "Name": "eth0"},
      {"MACAddress": "b0:7b:25xxxxxxxxx", "Name": "eno1"}])"));
  EXPECT_TRUE(answers[indexOf(answers, queryOf("Win32_DiskDrive"))]["rows"].is_null());
  expectSame(replay(facts), original);
}

TEST(Facts, ReplayAnswersFromTheFile) {
  FakeHost blank;
  Json facts = Json::parse(factsOf(blank));
  for (Json& record : facts["answers"]) {
    if (record["kind"] == "wmi") record = {{"kind", "wmi"}, {"connected", false}};
    if (record.value("key", "") == "SOFTWARE\\Parallels\\Parallels Tools") record["opens"] = true;
    if (record["kind"] == "processes") record["names"] = {"qemu-ga.exe"};
  }
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

TEST(Facts, ReplayRefusesAFileThatDoesNotFitTheCallsNamingTheFirstMismatch) {
  FakeHost machine = qemuGuest();
  const Json facts = Json::parse(factsOf(machine));
  const Json& answers = facts["answers"];
  const std::string key = std::to_string(indexOf(answers, kind("registryKey")));
  const std::string path = std::to_string(indexOf(answers, kind("path")));
  const std::string last = std::to_string(answers.size() - 1);
  const std::string at = "the file does not fit the probes' calls at /answers/";
  const struct {
    std::function<void(Json&)> change;
    std::string refusal;
  } cases[] = {
      {[](Json& f) { f["format"] = 2; },
       "does not follow the facts format: /format is 2; this replay reads format 1"},
      {[](Json& f) { f.erase("answers"); },
       "does not follow the facts format: key 'answers' not found"},
      {[](Json& f) { f.erase("report"); },
       "does not follow the facts format: key 'report' not found"},
      {[](Json& f) { f["report"] = f["report"].dump(); },
       "does not follow the facts format: /report is a string, not an object"},
      {[](Json& f) { f["answers"] = Json::object(); },
       "does not follow the facts format: /answers is an object, not an array"},
      {[&](Json& f) { f["answers"][std::stoi(key)]["opens"] = "yes"; },
       at + key + "/opens: the replay has false, the file \"yes\""},
      {[&](Json& f) { f["answers"][std::stoi(key)]["kind"] = "path"; },
       at + key + "/kind: the replay has \"registryKey\", the file \"path\""},
      {[&](Json& f) {
         std::swap(f["answers"][std::stoi(path)], f["answers"][std::stoi(path) + 1]);
       },
       at + path + "/path: the replay has " + answers[std::stoi(path)]["path"].dump() +
           ", the file " + answers[std::stoi(path) + 1]["path"].dump()},
      {[](Json& f) { f["answers"][0]["query"] = "SELECT * FROM Win32_ComputerSystem"; },
       at + "0/query: the replay has \"SELECT Manufacturer, Model FROM Win32_ComputerSystem\", "
            "the file \"SELECT * FROM Win32_ComputerSystem\""},
      {[](Json& f) { f["answers"][0]["rows"][0].erase("Manufacturer"); },
       at + "0/rows/0/Manufacturer: the replay has \"\", the file nothing"},
      {[&](Json& f) { f["answers"].erase(std::stoul(last)); },
       at + last + ": the replay has " + answers.back().dump() + ", the file nothing"},
      {[](Json& f) { f["answers"].push_back(f["answers"][0]); },
       at + std::to_string(answers.size()) + ": the replay has nothing, the file " +
           answers[0].dump()},
  };
  for (const auto& c : cases) {
    Json changed = facts;
    c.change(changed);
    const ReplayOutcome outcome = replay(changed);
    EXPECT_EQ(outcome.refusal, c.refusal);
    EXPECT_EQ(outcome.status, std::nullopt);
    EXPECT_EQ(outcome.report, "");
  }
}

// Whatever the bytes: one line that says why, never a crash.
TEST(Facts, ReplayRefusesWhatNoFactsFileIs) {
  const struct {
    std::string bytes;
    std::string refusal;
  } cases[] = {
      {"{\"format\": 1,",
       "not JSON: parse error at line 1, column 14: syntax error while parsing object key - "
       "unexpected end of input; expected string literal"},
      {"[1e999]", "not JSON: number overflow parsing '1e999'"},
      {std::string(1000000, '['), "not a facts file: nested deeper than 8 levels"},
      {"{" + std::string(MaxFactsBytes, ' ') + "}", "larger than 1048576 bytes: not a facts file"},
      {"\xFF\xFE{", "not UTF-16: an odd number of bytes"},
  };
  for (const auto& c : cases) {
    const ReplayOutcome outcome = replayFacts(c.bytes);
    EXPECT_EQ(outcome.refusal, c.refusal);
    EXPECT_EQ(outcome.status, std::nullopt);
  }
}

// What PowerShell, Notepad and cmd write.
std::string encoded(const std::string& utf8, bool littleEndian) {
  std::u16string units;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) units += byte;
    if (byte >= 0xC0) units += static_cast<char16_t>((byte & 0x1F) << 6 | (utf8[++i] & 0x3F));
  }
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    bytes += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

TEST(Facts, ReplayReadsTheEncodingsThatWindowsToolsWrite) {
  FakeHost machine = qemuGuest();
  const std::string document = factsOf(machine);
  std::string crlf;
  for (const char c : document) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const ReplayOutcome original = guestwiseOn(machine);
  for (const std::string& bytes :
       {document, "\xEF\xBB\xBF" + document, encoded(crlf, true), encoded(crlf, false), crlf}) {
    expectSame(replayFacts(bytes), original);
  }
  // Query texts and property names are recorded as ASCII, any other letter as '?'.
  EXPECT_EQ(asciiText(L"Q\x7F\x80\xE9"), "Q\x7F??");
}

TEST(Facts, ReplayNamesTheFirstDifferenceFromTheRecordedReport) {
  FakeHost machine = qemuGuest();
  const Json facts = Json::parse(factsOf(machine));
  const auto differenceWhen = [&](const std::function<void(Json&)>& change) {
    Json changed = facts;
    change(changed["report"]);
    const ReplayOutcome outcome = replay(changed);
    EXPECT_EQ(outcome.status, 1);
    return outcome.difference;
  };
  const std::string prefix = "the replay differs from the recorded report at ";
  EXPECT_EQ(differenceWhen([](Json& r) { r["detectionTimeMs"] = 99999; }), "");
  EXPECT_EQ(differenceWhen([](Json& r) { r["vendor"] = "VMware"; }),
            prefix + "/vendor: the replay has \"QEMU\", the file \"VMware\"");
  EXPECT_EQ(differenceWhen([](Json& r) { r["evidence"].erase(2); }),
            prefix +
                "/evidence/2: the replay has \"VM process detected: qemu-ga.exe\", the file "
                "nothing");
}

TEST(Facts, FactsOfTheFirstReleaseStillReplay) {
  std::ifstream file(GUESTWISE_TEST_DATA "/vmware-guest-facts-1.0.0.json", std::ios::binary);
  ASSERT_TRUE(file.is_open());
  std::stringstream bytes;
  bytes << file.rdbuf();
  const ReplayOutcome outcome = replayFacts(bytes.str());
  EXPECT_EQ(outcome.refusal, "");
  EXPECT_EQ(outcome.difference, "");
  EXPECT_EQ(outcome.status, 1);
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
  EXPECT_THROW(detectOverAnswers(misfit), std::runtime_error);
  EXPECT_THROW(detectOverAnswers(Json::array({1})), std::runtime_error);
}

// Four bytes of a CPUID text, in the register low byte first.
std::uint32_t word(const char (&text)[5]) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(text[i]);
  return value;
}

// A laptop without a hypervisor, whose ranges end exactly where the leaves
// read end; each test adds what it is about.
FakeHost intelLaptop() {
  FakeHost machine;
  machine.cpuidLeaves[0] = {1, word("Genu"), word("ntel"), word("ineI")};
  machine.cpuidLeaves[1] = {0x806ea, 0x85100800, 0x7ffafbbf, 0xbfebfbff};  // on core 0x85
  machine.cpuidLeaves[0x80000000] = {0x80000004, 0, 0, 0};
  machine.cpuidLeaves[0x80000002] = {word("    "), word("   I"), word("ntel"), word("(R) ")};
  machine.cpuidLeaves[0x80000003] = {word("Core"), word("(TM)"), word(" i7-"), word("8650")};
  machine.cpuidLeaves[0x80000004] = {word("U @ "), word("1.90"), word("GHz "), word("  \0 ")};
  return machine;
}

using Leaves = std::vector<std::uint32_t>;
const Leaves BareLeaves = {0, 1, 0x80000000, 0x80000002, 0x80000003, 0x80000004};

TEST(ProcessorFacts, BareHardwareGivesItsTextsAndLeavesPastTheMaximumAreNeverRead) {
  FakeHost machine = intelLaptop();
  guestwiseOn(machine);
  EXPECT_EQ(machine.cpuidLeavesAsked, Leaves{});
  Json facts = Json::parse(factsOf(machine))["processor"];
  EXPECT_EQ(machine.cpuidLeavesAsked, BareLeaves);
  EXPECT_EQ(facts["leaves"]["0x00000000"], Json::parse(R"({"eax": "0x00000001",
      "ebx": "0x756e6547", "ecx": "0x6c65746e", "edx": "0x49656e69"})"));
  EXPECT_EQ(facts["leaves"]["0x00000001"]["ebx"], "0x00100800");  // whichever core ran it
  facts.erase("leaves");
  EXPECT_EQ(facts, Json::parse(R"({"vendor": "GenuineIntel",
      "brand": "Intel(R) Core(TM) i7-8650U @ 1.90GHz", "hypervisorPresent": false,
      "hypervisor": null})"));
  machine.cpuidLeaves[0].eax = 0;
  machine.cpuidLeaves[0x80000000].eax = 0x80000003;
  machine.cpuidLeavesAsked.clear();
  facts = processorFacts(machine);
  EXPECT_EQ(machine.cpuidLeavesAsked, (Leaves{0, 0x80000000}));
  EXPECT_EQ((std::tuple(facts["brand"], facts["hypervisorPresent"], facts["leaves"].size())),
            std::tuple(Json(), Json(), 2u));
}

// The words are maxLeaf, vendor, interface, privilegeFlags, rootPartition
// and nextRangeVendor.
TEST(ProcessorFacts, HypervisorLeavesAreReadAsFarAsTheirRangeAndInterfaceGo) {
  const CpuidRegisters kvm = {0x40000001, word("KVMK"), word("VMKV"), word("M\0\0\0")};
  const CpuidRegisters hyperV = {0x4000000b, word("Micr"), word("osof"), word("t Hv")};
  const CpuidRegisters hv = {word("Hv#1"), 0, 0, 0};
  // Where KVM and Xen move their own signature when they offer Hyper-V's.
  const auto next = [&](std::uint32_t maxLeaf) {
    return CpuidRegisters{maxLeaf, kvm.ebx, kvm.ecx, kvm.edx};
  };
  const struct {
    CpuidRegisters range, signature;
    std::uint32_t flags;  // leaf 0x40000003's EBX; its EAX has bit 0 set
    CpuidRegisters nextRange;
    const char* words;
    Leaves read;
  } cases[] = {
      {kvm,
       {0x01007afb, 0, 0, 0},
       0,
       {},
       R"(["0x40000001", "KVMKVMKVM", null, null, null, null])",
       {0x40000000, 0x40000001}},
      {hyperV,
       hv,
       0xfffffffe,
       next(0x40000100),
       R"(["0x4000000b", "Microsoft Hv", "Hv#1", "0xfffffffe", false, "KVMKVMKVM"])",
       {0x40000000, 0x40000001, 0x40000003}},
      {{0x40000003, hyperV.ebx, hyperV.ecx, hyperV.edx},
       hv,
       1,
       next(0x400001ff),
       R"(["0x40000003", "Microsoft Hv", "Hv#1", "0x00000001", true, "KVMKVMKVM"])",
       {0x40000000, 0x40000001, 0x40000003}},
      {{0x40000002, 0, 0, 0},
       hv,
       1,
       next(0x40000200),
       R"(["0x40000002", "", "Hv#1", null, null, null])",
       {0x40000000, 0x40000001}},
      {{0x40000010, word("VMwa"), word("reVM"), word("ware")},
       {},
       1,
       next(0x400000ff),
       R"(["0x40000010", "VMwareVMware", "", null, null, null])",
       {0x40000000, 0x40000001}},
      {{0, kvm.ebx, kvm.ecx, kvm.edx},
       {},
       1,
       {},
       R"(["0x00000000", "KVMKVMKVM", null, null, null, null])",
       {0x40000000}},
  };
  for (const auto& c : cases) {
    FakeHost machine = intelLaptop();
    machine.cpuidLeaves[1].ecx |= 1u << 31;
    machine.cpuidLeaves[0x40000000] = c.range;
    machine.cpuidLeaves[0x40000001] = c.signature;
    machine.cpuidLeaves[0x40000003] = {1, c.flags, 1, 1};
    machine.cpuidLeaves[0x40000100] = c.nextRange;
    const Json facts = processorFacts(machine);
    Json words = Json::array();
    for (const auto& [name, value] : facts["hypervisor"].items()) words.push_back(value);
    EXPECT_EQ(words, Json::parse(c.words));
    Leaves read = {0, 1};
    read.insert(read.end(), c.read.begin(), c.read.end());
    read.push_back(0x40000100);
    read.insert(read.end(), BareLeaves.begin() + 2, BareLeaves.end());
    EXPECT_EQ(machine.cpuidLeavesAsked, read) << c.words;
  }
}

// Texts are printable ASCII, escaped as every text of the document, or null;
// the replay judges the section by its own registers, never by the report.
TEST(ProcessorFacts, TextsAreAsciiOrNullAndTheReplayRefusesASectionThatDoesNotFitItsRegisters) {
  FakeHost machine = intelLaptop();
  machine.cpuidLeaves[1].ecx |= 1u << 31;
  machine.cpuidLeaves[0x40000000] = {0x40000001, word("A~ \""), word("\\\0\0\0"), 0};
  machine.cpuidLeaves[0x40000001] = {word("\x1FHv1"), 0, 0, 0};
  machine.cpuidLeaves[0x40000100] = {0x40000100, word("KVM\x7F"), 0, 0};
  machine.cpuidLeaves[0x80000004].ecx = word("GHz\x80");
  const std::string document = factsOf(machine);
  const Json facts = Json::parse(document);
  const Json& hypervisor = facts["processor"]["hypervisor"];
  EXPECT_EQ((std::tuple(hypervisor["vendor"], hypervisor["interface"],
                        hypervisor["nextRangeVendor"], facts["processor"]["brand"])),
            std::tuple(Json("A~ \"\\"), Json(), Json(), Json()));
  EXPECT_EQ(facts["processor"]["leaves"]["0x40000001"]["eax"], "0x3176481f");
  expectSame(replayFacts(document), guestwiseOn(machine));
  const std::string refused = "the processor section does not fit its registers at /processor";
  Json changed = facts;
  changed["processor"]["hypervisor"]["interface"] = "Hv 1";
  EXPECT_EQ(replay(changed).refusal,
            refused + "/hypervisor/interface: the replay has null, the file \"Hv 1\"");
  changed = facts;
  changed["processor"]["leaves"]["0x00000001"]["ecx"] = "0x7FFAFBBF";  // not as written
  const ReplayOutcome outcome = replay(changed);
  EXPECT_EQ(outcome.refusal, refused + "/hypervisorPresent: the replay has false, the file true");
  EXPECT_EQ(outcome.status, std::nullopt);
}

}  // namespace
}  // namespace guestwise
