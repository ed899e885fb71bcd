#pragma once

#include <functional>
#include <ostream>

#include "detect/detection_result.h"

namespace guestwise {

enum class CommandLineAction { ShowHelp, ShowVersion, RunDetection };

// The first argument (after the program path) that is exactly one of the
// four options decides; anything else is ignored.
CommandLineAction scanArguments(int argc, const char* const argv[]);

void printHelp(std::ostream& out);
void printVersion(std::ostream& out);

// Runs the program: prints help, version or one report on `out` and returns
// the exit status (1 VM, 0 not or help/version, -1 an exception escaped).
// `runDetection` creates the detector and runs it, inside the guarded region.
using DetectionRun = std::function<DetectionResult()>;
int runGuestwise(int argc, const char* const argv[], std::ostream& out,
                 const DetectionRun& runDetection);

}  // namespace guestwise
