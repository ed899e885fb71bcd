// Guestwise's own work per run, against a scripted host: what must stay lost
// in the noise of the platform calls.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "detect/detector.h"
#include "fake_host.h"
#include "report/json_report_writer.h"

namespace guestwise {
namespace {

using testing::FakeHost;
using testing::FakeRow;

// The VirtualBox guest with eight findings.
constexpr std::size_t VirtualBoxFindings = 8;

void dressAsVirtualBoxGuest(FakeHost& host) {
  host.rowsByClass[L"Win32_ComputerSystem"] = {
      FakeRow({{L"Manufacturer", "innotek GmbH"}, {L"Model", "VirtualBox"}})};
  host.rowsByClass[L"Win32_DiskDrive"] = {FakeRow({{L"Model", "VBOX HARDDISK"}})};
  host.openableKeys = {"SOFTWARE\\Oracle\\VirtualBox Guest Additions"};
  host.processes = std::vector<std::string>{"System", "VBoxService.exe", "explorer.exe"};
  host.existingPaths = {"C:\\Windows\\System32\\drivers\\VBoxGuest.sys",
                        "C:\\Program Files\\Oracle\\VirtualBox Guest Additions"};
  host.rowsByClass[L"Win32_NetworkAdapter"] = {
      FakeRow({{L"MACAddress", "08:00:27:4F:2A:11"}, {L"Name", "Intel(R) PRO/1000"}})};
}

// The fake host logs every query and path it is asked; emptied each run so
// that the log does not grow across iterations. The clearing stays timed,
// which only overstates Guestwise's share.
void forgetCalls(FakeHost& host) {
  host.queriesRun.clear();
  host.pathsAsked.clear();
}

void BM_DetectAndReport(benchmark::State& state) {
  FakeHost host;
  dressAsVirtualBoxGuest(host);
  {
    // A timing of fewer findings would flatter the figure.
    Detector detector(host);
    if (detector.detect().evidence.size() != VirtualBoxFindings) {
      state.SkipWithError("the VirtualBox example no longer gives eight findings");
      return;
    }
    forgetCalls(host);
  }
  for (auto _ : state) {
    Detector detector(host);
    const DetectionResult r = detector.detect();
    benchmark::DoNotOptimize(JsonReportWriter::toJson(r.isVirtualMachine, r.vendor, r.confidence,
                                                      r.evidence, r.detectionTimeMs, r.error));
    forgetCalls(host);
  }
}
BENCHMARK(BM_DetectAndReport);

void BM_SpineDetect(benchmark::State& state) {
  FakeHost host;
  for (auto _ : state) {
    Detector detector(host);
    benchmark::DoNotOptimize(detector.detect());
    forgetCalls(host);
  }
}
BENCHMARK(BM_SpineDetect);

std::vector<std::string> findings(std::int64_t count) {
  return std::vector<std::string>(
      static_cast<std::size_t>(count),
      "Registry key exists: HKLM\\SOFTWARE\\VMware, Inc.\\VMware Tools");
}

void BM_ToJson(benchmark::State& state) {
  const std::vector<std::string> evidence = findings(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(JsonReportWriter::toJson(true, "VMware", 100, evidence, 912, ""));
  }
  state.SetComplexityN(state.range(0));
}
// Eight findings is a typical guest; a thousand, far more than any machine.
BENCHMARK(BM_ToJson)->ArgName("findings")->Arg(8)->Arg(1000);

// Time per finding across three orders of magnitude; the fit is left to the
// library, so a writer that turned quadratic would show it.
BENCHMARK(BM_ToJson)
    ->Name("BM_ToJsonGrowth")
    ->ArgName("findings")
    ->RangeMultiplier(4)
    ->Range(16, 16384)
    ->Complexity();

std::string textWithBackslashes(std::size_t length, std::size_t stride) {
  std::string text(length, 'a');
  for (std::size_t i = 0; i < text.size(); i += stride) text[i] = '\\';
  return text;
}

void BM_EscapeJsonString(benchmark::State& state) {
  // A 4 KB text where every 64th byte, or every other byte, needs escaping.
  const std::string text = textWithBackslashes(4096, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(JsonReportWriter::escapeJsonString(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_EscapeJsonString)->ArgName("escape_every")->Arg(64)->Arg(2);

void BM_EscapeJsonStringGrowth(benchmark::State& state) {
  const std::string text = textWithBackslashes(static_cast<std::size_t>(state.range(0)), 2);
  for (auto _ : state) benchmark::DoNotOptimize(JsonReportWriter::escapeJsonString(text));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EscapeJsonStringGrowth)
    ->ArgName("bytes")
    ->RangeMultiplier(4)
    ->Range(256, 262144)
    ->Complexity();

}  // namespace
}  // namespace guestwise

BENCHMARK_MAIN();
