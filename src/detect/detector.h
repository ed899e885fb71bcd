#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "detect/detection_result.h"
#include "probes/host.h"

namespace guestwise {

// Vendor text -> tally, ordered byte by byte so that ties go to the vendor
// text that sorts first.
using VendorScores = std::map<std::string, std::int32_t>;

inline constexpr std::int32_t VerdictThreshold = 30;
inline constexpr std::int32_t ConfidenceCap = 100;
inline constexpr char WmiWarningLine[] = "[Warning] WMI initialization failed";

// The state of one detection run. Every probe reports its hits through
// addEvidence; the probes reach the machine only through the Host.
class Detector {
 public:
  explicit Detector(Host& host) : host_(host) {}

  void addEvidence(const std::string& message, const std::string& vendor, std::int32_t weight);
  DetectionResult detect();

  // Probes, in the order detect runs them.
  void checkComputerSystem();
  void onComputerSystemRow(const WmiRow& row);
  void onBiosRow(const WmiRow& row);
  void onBaseBoardRow(const WmiRow& row);
  void onDiskDriveRow(const WmiRow& row);
  void checkRegistryKeys();
  void checkRunningProcesses();
  void checkGuestDrivers();
  void onNetworkAdapterRow(const WmiRow& row);
  void checkGuestFiles();

  const std::vector<std::string>& evidence() const { return evidence_; }
  const VendorScores& vendorScores() const { return vendorScores_; }
  std::int32_t totalScore() const { return totalScore_; }

 private:
  void runProbes();
  void runWmiQuery(WmiSession& connection, const wchar_t* query,
                   void (Detector::*onRow)(const WmiRow&));
  void deriveVerdict(DetectionResult& result) const;

  Host& host_;
  std::vector<std::string> evidence_;
  VendorScores vendorScores_;
  std::int32_t totalScore_ = 0;
};

// The vendor with the highest positive tally; the first in key order wins a
// tie; "Unknown" when none is positive.
std::string leadingVendor(const VendorScores& scores);

// Whole milliseconds of a duration, truncated toward zero.
std::int64_t wholeMilliseconds(std::chrono::nanoseconds elapsed);

}  // namespace guestwise
