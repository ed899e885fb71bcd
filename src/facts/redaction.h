#pragma once

#include <vector>

#include "facts/facts.h"

namespace guestwise {

// Takes out of the answers what would identify a machine, and nothing that a
// probe judges, so that their replay gives the same report: MAC addresses
// keep their vendor prefix, only listed tools stay among the processes, and
// a BIOS serial number stays only when a probe could match it.
std::vector<Answer> redactedAnswers(std::vector<Answer> answers);

inline constexpr char RedactedText[] = "[redacted]";

}  // namespace guestwise
