// The traces guest software leaves behind: registry keys, driver files,
// guest-tools folders and files.
#include "detect/detector.h"
#include "detect/signature_tables.h"

namespace guestwise {

// What each kind of hit adds to the total and to its vendor's tally.
constexpr std::int32_t RegistryKeyWeight = 20;
constexpr std::int32_t DriverWeight = 15;
constexpr std::int32_t GuestFileWeight = 10;

void Detector::checkRegistryKeys() {
  for (const auto& [key, vendor] : RegistrySignatures) {
    if (host_.registryKeyOpens(key))
      addEvidence("Registry key exists: HKLM\\" + key, vendor, RegistryKeyWeight);
  }
}

void Detector::checkGuestDrivers() {
  // Without a Windows directory there is no drivers folder to look in.
  const auto windowsDirectory = host_.windowsDirectory();
  if (!windowsDirectory) return;
  const std::string driverFolder = *windowsDirectory + "\\System32\\drivers\\";
  for (const auto& [key, vendor] : DriverSignatures) {
    if (host_.pathExists(driverFolder + key)) {
      addEvidence("VM guest driver detected: " + key, vendor, DriverWeight);
    }
  }
}

void Detector::checkGuestFiles() {
  for (const auto& [key, vendor] : FileSignatures) {
    if (host_.pathExists(key))
      addEvidence("VM file/folder detected: " + key, vendor, GuestFileWeight);
  }
}

}  // namespace guestwise
