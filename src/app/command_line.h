#pragma once

#include <functional>
#include <string>

#include "detect/detection_result.h"

namespace guestwise {

enum class CommandLineAction { ShowHelp, ShowVersion, RunDetection };

// The first argument (after the program path) that is exactly one of the
// four options decides; anything else is ignored.
CommandLineAction scanArguments(int argc, const char* const argv[]);

// Writes text to standard output and flushes it.
using OutputWriter = std::function<void(const std::string& text)>;

// Runs the program: writes help, version or one report through `write` and
// returns the exit status (1 VM, 0 not or help/version, -1 an exception
// escaped). `runDetection` creates the detector and runs it, inside the
// guarded region.
using DetectionRun = std::function<DetectionResult()>;
int runGuestwise(int argc, const char* const argv[], const OutputWriter& write,
                 const DetectionRun& runDetection);

}  // namespace guestwise
