#include <cstdio>
#include <string>

#include <guestwise/guestwise.h>

// Prints the report and returns the status that Guestwise.exe would.
int main() {
  const guestwise::DetectionResult result = guestwise::detect();
  const std::string report = guestwise::toJson(result) + "\n";
  std::fwrite(report.data(), 1, report.size(), stdout);
  return result.isVirtualMachine ? 1 : 0;
}
