#pragma once

#include <functional>
#include <string>

#include "detect/detection_result.h"

namespace guestwise {

// Takes text that goes to standard output, or keeps it.
using OutputWriter = std::function<void(const std::string& text)>;
// Creates the detector and runs it.
using DetectionRun = std::function<DetectionResult()>;

// One detection as Guestwise.exe makes it: writes its report and a line
// break through `write` and returns the exit status (1 VM, 0 not, -1 an
// exception escaped `runDetection`, whose report carries it in "error").
int reportDetection(const OutputWriter& write, const DetectionRun& runDetection);

}  // namespace guestwise
