#include "detect/detector.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "fake_host.h"

namespace guestwise {
namespace {

using testing::FakeHost;
using testing::Probe;

DetectionResult detectWith(std::initializer_list<std::pair<const char*, int>> findings,
                           const char* vendor = "X") {
  // The probes find nothing: findings come only from the test.
  Probe run;
  for (const auto& [message, weight] : findings) run.detector.addEvidence(message, vendor, weight);
  return run.detector.detect();
}

TEST(Detector, NothingFoundGivesTheStartValues) {
  const DetectionResult result = detectWith({});
  EXPECT_FALSE(result.isVirtualMachine);
  EXPECT_EQ(result.vendor, "Unknown");
  EXPECT_EQ(result.confidence, 0);
  EXPECT_TRUE(result.evidence.empty());
  EXPECT_EQ(result.error, "");
}

TEST(Detector, VerdictThresholdIsThirty) {
  EXPECT_FALSE(detectWith({{"a", 15}, {"b", 14}}).isVirtualMachine);
  EXPECT_TRUE(detectWith({{"a", 15}, {"b", 15}}).isVirtualMachine);
}

TEST(Detector, ConfidenceIsTheTotalCappedAtHundred) {
  EXPECT_EQ(detectWith({{"a", 42}}).confidence, 42);
  EXPECT_EQ(detectWith({{"a", 100}}).confidence, 100);
  EXPECT_EQ(detectWith({{"a", 200}, {"b", 50}}).confidence, 100);
  EXPECT_EQ(detectWith({{"a", -7}}).confidence, -7);  // no lower bound
}

TEST(Detector, AddEvidenceKeepsEveryLineAndTalliesPerVendor) {
  Probe run;
  run.detector.addEvidence("same", "VMware", 25);
  run.detector.addEvidence("same", "VMware", 20);
  run.detector.addEvidence("other", "VirtualBox", 20);
  run.detector.addEvidence("", "", 10);
  EXPECT_EQ(run.detector.evidence(), (std::vector<std::string>{"same", "same", "other", ""}));
  EXPECT_EQ(run.detector.totalScore(), 75);
  EXPECT_EQ(run.detector.vendorScores(), (VendorScores{{"VMware", 45}, {"VirtualBox", 20}}));
  const DetectionResult result = run.detector.detect();
  EXPECT_EQ(result.vendor, "VMware");
  EXPECT_EQ(result.confidence, 75);
}

TEST(Detector, EmptyVendorCountsTowardTheTotalOnly) {
  const DetectionResult result = detectWith({{"a", 20}, {"b", 20}}, "");
  EXPECT_TRUE(result.isVirtualMachine);
  EXPECT_EQ(result.confidence, 40);
  EXPECT_EQ(result.vendor, "Unknown");
}

TEST(Detector, LeadingVendorTiesGoToTheFirstTextInByteOrder) {
  EXPECT_EQ(leadingVendor({{"VMware", 20}, {"VirtualBox", 20}}), "VMware");
  EXPECT_EQ(leadingVendor({{"Hyper-V", 20}, {"VMware", 20}}), "Hyper-V");
  EXPECT_EQ(leadingVendor({{"Hyper-V", 20}, {"VMware", 21}}), "VMware");
  EXPECT_EQ(leadingVendor({{"AWS", 0}, {"Xen", -5}}), "Unknown");
  EXPECT_EQ(leadingVendor({{"AWS", -5}, {"Xen", 1}}), "Xen");
  EXPECT_EQ(leadingVendor({}), "Unknown");
}

TEST(Detector, WholeMillisecondsTruncate) {
  using std::chrono::nanoseconds;
  EXPECT_EQ(wholeMilliseconds(nanoseconds(999999)), 0);
  EXPECT_EQ(wholeMilliseconds(nanoseconds(1999999)), 1);
  EXPECT_EQ(wholeMilliseconds(nanoseconds(2000000)), 2);
}

TEST(Detector, ExceptionInAProbeIsReportedWithTheStartValuesAndTheTime) {
  FakeHost host;
  host.rowsByClass[L"Win32_BIOS"] = {testing::FakeRow({{L"Manufacturer", "VMware"}})};
  host.rowsByClass[L"Win32_DiskDrive"] = {testing::FakeRow({})};
  host.openableKeys = {"SOFTWARE\\VMware, Inc.\\VMware Tools"};
  host.beforeEachRow = [&host] {
    if (!host.queriesRun.empty() &&
        host.queriesRun.back().find(L"DiskDrive") != std::wstring::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      throw std::runtime_error("disk failed");
    }
  };
  Detector detector(host);
  const DetectionResult result = detector.detect();
  EXPECT_EQ(result.error, "disk failed");
  EXPECT_FALSE(result.isVirtualMachine);
  EXPECT_EQ(result.vendor, "Unknown");
  EXPECT_EQ(result.confidence, 0);
  EXPECT_TRUE(result.evidence.empty());
  EXPECT_GE(result.detectionTimeMs, 20);
  // The finding made before the exception stays with the detector only, the
  // steps after it never ran, and the open connection was given back.
  EXPECT_EQ(detector.evidence().size(), 1u);
  EXPECT_EQ(host.queriesRun.size(), 4u);
  EXPECT_EQ(host.connectionsOpen, 0);
}

TEST(Detector, ExceptionOutsideTheStandardFamilyIsLeftToTheCaller) {
  FakeHost host;
  host.rowsByClass[L"Win32_ComputerSystem"] = {testing::FakeRow({})};
  host.beforeEachRow = [] { throw 42; };
  Detector detector(host);
  EXPECT_THROW(detector.detect(), int);
  EXPECT_EQ(host.connectionsOpen, 0);
}

}  // namespace
}  // namespace guestwise
