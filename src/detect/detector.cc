#include "detect/detector.h"

#include <exception>

#include "probes/probe_rules.h"

namespace guestwise {

void Detector::addEvidence(const std::string& message, const std::string& vendor,
                           std::int32_t weight) {
  evidence_.push_back(message);
  totalScore_ += weight;
  if (!vendor.empty()) vendorScores_[vendor] += weight;
}

DetectionResult Detector::detect() {
  const auto start = std::chrono::steady_clock::now();
  DetectionResult result;
  try {
    runProbes();
    deriveVerdict(result);
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  result.detectionTimeMs = wholeMilliseconds(std::chrono::steady_clock::now() - start);
  return result;
}

void Detector::runProbes() {
  checkComputerSystem();
  // One connection object for the remaining WMI steps, released between
  // queries and on any exception, so no WMI state outlives its query.
  const auto connection = host_.newWmiConnection();
  runWmiQuery(*connection, BiosQuery, &Detector::onBiosRow);
  runWmiQuery(*connection, BaseBoardQuery, &Detector::onBaseBoardRow);
  runWmiQuery(*connection, DiskDriveQuery, &Detector::onDiskDriveRow);
  checkRegistryKeys();
  checkRunningProcesses();
  checkGuestDrivers();
  runWmiQuery(*connection, NetworkAdapterQuery, &Detector::onNetworkAdapterRow);
  checkGuestFiles();
}

void Detector::runWmiQuery(WmiSession& connection, const wchar_t* query,
                           void (Detector::*onRow)(const WmiRow&)) {
  connection.release();
  WmiSessionGuard guard(connection);
  if (connection.connect()) {
    connection.executeQuery(query, [this, onRow](const WmiRow& row) { (this->*onRow)(row); });
  }
}

void Detector::deriveVerdict(DetectionResult& result) const {
  result.isVirtualMachine = totalScore_ >= VerdictThreshold;
  result.confidence = totalScore_ < ConfidenceCap ? totalScore_ : ConfidenceCap;
  result.vendor = leadingVendor(vendorScores_);
  result.evidence = evidence_;
}

std::string leadingVendor(const VendorScores& scores) {
  std::string candidate = "Unknown";
  std::int32_t best = 0;
  for (const auto& [vendor, tally] : scores) {
    if (tally > best) {
      candidate = vendor;
      best = tally;
    }
  }
  return candidate;
}

std::int64_t wholeMilliseconds(std::chrono::nanoseconds elapsed) {
  return static_cast<std::int64_t>(elapsed.count() / 1000000);
}

}  // namespace guestwise
