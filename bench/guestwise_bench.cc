// Guestwise's own work per run, against a scripted host: what must stay lost
// in the noise of the platform calls.
#include <benchmark/benchmark.h>

#include "detect/detector.h"
#include "fake_host.h"
#include "report/json_report_writer.h"

namespace guestwise {
namespace {

using testing::FakeHost;
using testing::FakeRow;

// The VirtualBox guest with eight findings.
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

void BM_DetectAndReport(benchmark::State& state) {
  FakeHost host;
  dressAsVirtualBoxGuest(host);
  for (auto _ : state) {
    Detector detector(host);
    const DetectionResult r = detector.detect();
    benchmark::DoNotOptimize(JsonReportWriter::toJson(r.isVirtualMachine, r.vendor, r.confidence,
                                                      r.evidence, r.detectionTimeMs, r.error));
  }
}
BENCHMARK(BM_DetectAndReport);

void BM_SpineDetect(benchmark::State& state) {
  FakeHost host;
  for (auto _ : state) {
    Detector detector(host);
    benchmark::DoNotOptimize(detector.detect());
  }
}
BENCHMARK(BM_SpineDetect);

void BM_ToJson(benchmark::State& state) {
  const std::vector<std::string> evidence(
      static_cast<std::size_t>(state.range(0)),
      "Registry key exists: HKLM\\SOFTWARE\\VMware, Inc.\\VMware Tools");
  for (auto _ : state) {
    benchmark::DoNotOptimize(JsonReportWriter::toJson(true, "VMware", 100, evidence, 912, ""));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ToJson)->Arg(8)->Arg(1000)->Complexity();

void BM_EscapeJsonString(benchmark::State& state) {
  // Every 64th byte, or every other byte, needs escaping.
  const std::size_t stride = static_cast<std::size_t>(state.range(0));
  std::string text(4096, 'a');
  for (std::size_t i = 0; i < text.size(); i += stride) text[i] = '\\';
  for (auto _ : state) benchmark::DoNotOptimize(JsonReportWriter::escapeJsonString(text));
}
BENCHMARK(BM_EscapeJsonString)->Arg(64)->Arg(2);

}  // namespace
}  // namespace guestwise

BENCHMARK_MAIN();
