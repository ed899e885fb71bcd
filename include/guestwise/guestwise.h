#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guestwise {

// The outcome of one run; the start values are what a run that found nothing
// (or failed before its derivation) reports.
struct DetectionResult {
  bool isVirtualMachine = false;
  std::string vendor = "Unknown";
  std::int32_t confidence = 0;
  std::vector<std::string> evidence;
  std::int64_t detectionTimeMs = 0;
  std::string error;
};

// One detection run on this machine, the same that Guestwise.exe makes.
// Exceptions of the std::exception family end up in `error`.
DetectionResult detect();

// The JSON report of a result, in Guestwise.exe's fixed layout, without the
// line break that the program writes after it.
std::string toJson(const DetectionResult& result);

}  // namespace guestwise
