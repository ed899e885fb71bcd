// Arbitrary texts from the host - property values, MAC texts, adapter and
// process names - through the matching helpers and the row handlers: no
// crash, no sanitizer report, and the run's arithmetic holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "detect/detector.h"
#include "fake_host.h"
#include "probes/text_match.h"

namespace {

using guestwise::testing::FakeHost;
using guestwise::testing::FakeRow;

void require(bool condition) {
  if (!condition) std::abort();
}

// Swaps the case of the ASCII letters only: no comparison may notice.
std::string swapAsciiCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void checkMatchingHelpers(FuzzedDataProvider& input) {
  const std::string text = input.ConsumeRandomLengthString(64);
  const std::string needle = input.ConsumeRandomLengthString(16);
  const bool contains = guestwise::containsIgnoreCase(text, needle);
  const bool startsWith = guestwise::startsWithIgnoreCase(text, needle);
  require(contains == guestwise::containsIgnoreCase(swapAsciiCase(text), needle));
  require(startsWith == guestwise::startsWithIgnoreCase(text, swapAsciiCase(needle)));
  require(!startsWith || contains);
  require(guestwise::containsIgnoreCase(needle + text + needle, needle));
}

FakeRow randomRow(FuzzedDataProvider& input, std::initializer_list<const wchar_t*> names) {
  std::map<std::wstring, std::string> properties;
  for (const wchar_t* name : names) {
    if (input.ConsumeBool()) properties[name] = input.ConsumeRandomLengthString(48);
  }
  return FakeRow(properties);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  checkMatchingHelpers(input);

  FakeHost host;
  host.wmiAvailable = input.ConsumeBool();
  const auto rows = [&](std::initializer_list<const wchar_t*> names) {
    std::vector<FakeRow> result;
    for (std::size_t n = input.ConsumeIntegralInRange<std::size_t>(0, 3); n > 0; --n) {
      result.push_back(randomRow(input, names));
    }
    return result;
  };
  host.rowsByClass[L"Win32_ComputerSystem"] = rows({L"Manufacturer", L"Model"});
  host.rowsByClass[L"Win32_BIOS"] = rows({L"Manufacturer", L"SerialNumber", L"Version"});
  host.rowsByClass[L"Win32_BaseBoard"] = rows({L"Manufacturer", L"Product"});
  host.rowsByClass[L"Win32_DiskDrive"] = rows({L"Model", L"Caption"});
  host.rowsByClass[L"Win32_NetworkAdapter"] = rows({L"MACAddress", L"Name"});
  std::vector<std::string> processes(input.ConsumeIntegralInRange<std::size_t>(0, 8));
  for (std::string& name : processes) name = input.ConsumeRandomLengthString(24);
  host.processes = processes;
  host.windowsDir = input.ConsumeRandomLengthString(32);

  guestwise::Detector detector(host);
  const guestwise::DetectionResult result = detector.detect();
  require(result.error.empty());
  require(result.confidence == std::min(detector.totalScore(), 100));
  require(result.isVirtualMachine == (detector.totalScore() >= 30));
  require(result.evidence == detector.evidence());
  std::int32_t tallied = 0;
  for (const auto& entry : detector.vendorScores()) tallied += entry.second;
  require(tallied == detector.totalScore());  // every finding here names a vendor
  require(host.connectionsOpen == 0);
  return 0;
}
