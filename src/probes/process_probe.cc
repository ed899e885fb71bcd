// Looks for the guest-tools processes of a hypervisor.
#include <set>

#include "detect/detector.h"
#include "detect/signature_tables.h"
#include "probes/text_match.h"

namespace guestwise {

constexpr std::int32_t ProcessWeight = 20;

void Detector::checkRunningProcesses() {
  const auto imageNames = host_.runningProcessImageNames();
  if (!imageNames) return;
  // Folded and deduplicated, so many instances of one tool count once.
  std::set<std::string> runningProcessNames;
  for (const std::string& name : *imageNames) runningProcessNames.insert(foldAsciiCase(name));
  for (const auto& [key, vendor] : ProcessSignatures) {
    if (runningProcessNames.count(foldAsciiCase(key)) != 0) {
      addEvidence("VM process detected: " + key, vendor, ProcessWeight);
    }
  }
}

}  // namespace guestwise
