// Credits connected adapters whose MAC address begins with a vendor prefix.
#include <array>

#include "detect/detector.h"
#include "detect/signature_tables.h"
#include "probes/probe_rules.h"
#include "probes/text_match.h"

namespace guestwise {

namespace {

// Host-side virtual adapters carry vendor prefixes without being guests:
// VMware Workstation's, VirtualBox's, and the vEthernet adapters that Hyper-V
// gives a host for its Default Switch, WSL 2 and container engines (a guest's
// own adapter is a "Microsoft Hyper-V Network Adapter" and still counts).
constexpr std::array<const char*, 4> HostAdapterMarkers = {
    "VMnet", "VMware Network Adapter", "VirtualBox Host-Only", "Hyper-V Virtual Ethernet Adapter"};

constexpr std::int32_t MacPrefixWeight = 20;

bool isHostAdapter(const std::string& name) {
  for (const char* marker : HostAdapterMarkers) {
    if (containsIgnoreCase(name, marker)) return true;
  }
  return false;
}

}  // namespace

void Detector::onNetworkAdapterRow(const WmiRow& row) {
  const std::string mac = row.getStringProperty(L"MACAddress");
  const std::string name = row.getStringProperty(L"Name");
  if (mac.size() < MacPrefixLength || isHostAdapter(name)) return;
  const std::string prefix = mac.substr(0, MacPrefixLength);
  for (const auto& [key, vendor] : MacPrefixSignatures) {
    if (equalsIgnoreCase(prefix, key)) {
      addEvidence("VM MAC prefix on NIC: " + prefix + " (" + name + ")", vendor, MacPrefixWeight);
      return;
    }
  }
}

}  // namespace guestwise
