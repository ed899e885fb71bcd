#pragma once

#include "report/detection_report.h"

namespace guestwise {

enum class CommandLineAction { ShowHelp, ShowVersion, RunDetection };

// The first argument (after the program path) that is exactly one of the
// four options decides; anything else is ignored.
CommandLineAction scanArguments(int argc, const char* const argv[]);

// Runs the program: writes help, version or one report through `write` and
// returns the exit status (1 VM, 0 not or help/version, -1 an exception
// escaped). `runDetection` creates the detector and runs it, inside the
// guarded region.
int runGuestwise(int argc, const char* const argv[], const OutputWriter& write,
                 const DetectionRun& runDetection);

// The facts tools' status for arguments or a file they refuse.
inline constexpr int RefusedStatus = 2;

// A tool's usage: on standard output with status 0 when its only argument
// is "-h" or "--help", else on standard error with RefusedStatus.
int printUsage(const char* usage, int argc, const char* const argv[]);

}  // namespace guestwise
