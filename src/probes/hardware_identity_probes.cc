// Judges the hardware identity that WMI reports: computer system, BIOS,
// baseboard and disk drives.
#include <array>

#include "detect/detector.h"
#include "detect/signature_tables.h"
#include "probes/probe_rules.h"
#include "probes/text_match.h"

namespace guestwise {

namespace {

// What each kind of hit adds to the total and to its vendor's tally.
constexpr std::int32_t SystemManufacturerWeight = 25;
constexpr std::int32_t SystemModelWeight = 20;
constexpr std::int32_t BiosKeywordWeight = 20;
constexpr std::int32_t VmwareBiosSerialWeight = 25;
constexpr std::int32_t BaseBoardWeight = 15;
constexpr std::int32_t DiskModelWeight = 15;

struct DiskRule {
  std::array<const char*, 2> markers;  // nullptr ends a shorter list
  const char* vendor;
};

// Tried in this order; the first rule with a marker in the disk text decides.
constexpr std::array<DiskRule, 4> DiskModelMarkers = {{
    {{"VMware", nullptr}, "VMware"},
    {{"VBOX", "VirtualBox"}, "VirtualBox"},
    {{"Virtual HD", "Virtual Disk"}, "Hyper-V"},
    {{"QEMU", nullptr}, "QEMU"},
}};

const DiskRule* firstMatchingDiskRule(const std::string& diskText) {
  for (const DiskRule& rule : DiskModelMarkers) {
    for (const char* marker : rule.markers) {
      if (marker != nullptr && containsIgnoreCase(diskText, marker)) return &rule;
    }
  }
  return nullptr;
}

// The first entry, in walk order, whose key the text contains.
const SignatureTable::value_type* firstKeyContainedIn(const SignatureTable& table,
                                                      std::string_view text) {
  for (const auto& entry : table) {
    if (containsIgnoreCase(text, entry.first)) return &entry;
  }
  return nullptr;
}

bool isVmwareBiosSerial(std::string_view serial) {
  return startsWithIgnoreCase(serial, "VMware-");
}

}  // namespace

// It counts through the BIOS keyword finding, which also reads it, or on
// its own as VMware's.
bool isTellingBiosSerial(std::string_view serial) {
  return isVmwareBiosSerial(serial) || firstKeyContainedIn(VendorKeywordSignatures, serial);
}

void Detector::checkComputerSystem() {
  const auto connection = host_.newWmiConnection();
  WmiSessionGuard guard(*connection);
  if (!connection->connect()) {
    // Not a finding: it changes neither the total nor any tally.
    evidence_.push_back(WmiWarningLine);
    return;
  }
  connection->executeQuery(ComputerSystemQuery,
                           [this](const WmiRow& row) { onComputerSystemRow(row); });
}

void Detector::onComputerSystemRow(const WmiRow& row) {
  const std::string manufacturer = row.getStringProperty(L"Manufacturer");
  const std::string model = row.getStringProperty(L"Model");
  if (const auto* hit = firstKeyContainedIn(ManufacturerSignatures, manufacturer)) {
    addEvidence("Win32_ComputerSystem.Manufacturer = " + manufacturer, hit->second,
                SystemManufacturerWeight);
  }
  if (const auto* hit = firstKeyContainedIn(ModelSignatures, model)) {
    addEvidence("Win32_ComputerSystem.Model = " + model, hit->second, SystemModelWeight);
  }
}

void Detector::onBiosRow(const WmiRow& row) {
  const std::string manufacturer = row.getStringProperty(L"Manufacturer");
  const std::string serialNumber = row.getStringProperty(L"SerialNumber");
  const std::string version = row.getStringProperty(L"Version");
  const std::string joined = manufacturer + " " + serialNumber + " " + version;
  if (const auto* hit = firstKeyContainedIn(VendorKeywordSignatures, joined)) {
    // Names the key as stored, not the letters found in the BIOS.
    addEvidence("Win32_BIOS contains '" + hit->first + "'", hit->second, BiosKeywordWeight);
  }
  if (isVmwareBiosSerial(serialNumber)) {
    addEvidence("Win32_BIOS.SerialNumber = " + serialNumber, "VMware", VmwareBiosSerialWeight);
  }
}

void Detector::onBaseBoardRow(const WmiRow& row) {
  const std::string manufacturer = row.getStringProperty(L"Manufacturer");
  const std::string product = row.getStringProperty(L"Product");
  // Key order decides before the property; the message always quotes the
  // manufacturer, also when only the product held the key.
  for (const auto& [key, vendor] : ManufacturerSignatures) {
    if (containsIgnoreCase(manufacturer, key) || containsIgnoreCase(product, key)) {
      addEvidence("Win32_BaseBoard.Manufacturer = " + manufacturer, vendor, BaseBoardWeight);
      return;
    }
  }
}

void Detector::onDiskDriveRow(const WmiRow& row) {
  const std::string model = row.getStringProperty(L"Model");
  const std::string caption = row.getStringProperty(L"Caption");
  if (const DiskRule* rule = firstMatchingDiskRule(model + " " + caption)) {
    addEvidence("Win32_DiskDrive.Model = " + model, rule->vendor, DiskModelWeight);
  }
}

}  // namespace guestwise
