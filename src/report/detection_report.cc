#include "report/detection_report.h"

#include <exception>

namespace guestwise {

namespace {

// A result's start values are exactly what an error report shows.
void writeErrorReport(const OutputWriter& write, const std::string& message) {
  DetectionResult failed;
  failed.error = message;
  write(toJson(failed) + "\n");
}

}  // namespace

int reportDetection(const OutputWriter& write, const DetectionRun& runDetection) {
  try {
    const DetectionResult result = runDetection();
    write(toJson(result) + "\n");
    return result.isVirtualMachine ? 1 : 0;
  } catch (const std::exception& e) {
    writeErrorReport(write, e.what());
  } catch (...) {
    // Whatever escapes still ends in a report, never in an abort.
    writeErrorReport(write, "unknown exception");
  }
  return -1;
}

}  // namespace guestwise
