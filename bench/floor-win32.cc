// The platform calls of one Guestwise run, in the same order, and nothing
// else: no matching, no scoring, no report. Its run time is the floor that
// Guestwise.exe is measured against (bench/overhead.sh).
#include <array>
#include <string>

#include "detect/signature_tables.h"
#include "probes/host.h"
#include "probes/probe_rules.h"

namespace {

using guestwise::Host;
using guestwise::WmiRow;
using guestwise::WmiSession;
using guestwise::WmiSessionGuard;

// One WMI session: its query and the properties the probes read per row
// (nullptr ends a shorter list).
struct WmiStep {
  const wchar_t* query;
  std::array<const wchar_t*, 3> properties;
};

// The properties are those the row handlers read, in their order.
constexpr WmiStep ComputerSystemStep = {guestwise::ComputerSystemQuery,
                                        {L"Manufacturer", L"Model", nullptr}};
constexpr WmiStep BiosStep = {guestwise::BiosQuery, {L"Manufacturer", L"SerialNumber", L"Version"}};
constexpr WmiStep BaseBoardStep = {guestwise::BaseBoardQuery,
                                   {L"Manufacturer", L"Product", nullptr}};
constexpr WmiStep DiskDriveStep = {guestwise::DiskDriveQuery, {L"Model", L"Caption", nullptr}};
constexpr WmiStep NetworkAdapterStep = {guestwise::NetworkAdapterQuery,
                                        {L"MACAddress", L"Name", nullptr}};

// Connect, query, read each row's properties, release - as the detector does
// with a connection object that may have served an earlier query.
void runWmiStep(WmiSession& connection, const WmiStep& step) {
  connection.release();
  WmiSessionGuard guard(connection);
  if (!connection.connect()) return;
  connection.executeQuery(step.query, [&step](const WmiRow& row) {
    for (const wchar_t* property : step.properties) {
      if (property != nullptr) row.getStringProperty(property);
    }
  });
}

// The same host the probes ask, with nothing done with its answers.
void openRegistryKeys(Host& host) {
  for (const auto& entry : guestwise::RegistrySignatures) host.registryKeyOpens(entry.first);
}

void readDriverAttributes(Host& host) {
  const auto windowsDirectory = host.windowsDirectory();
  if (!windowsDirectory) return;
  const std::string driverFolder = *windowsDirectory + "\\System32\\drivers\\";
  for (const auto& entry : guestwise::DriverSignatures) host.pathExists(driverFolder + entry.first);
}

void readFileAttributes(Host& host) {
  for (const auto& entry : guestwise::FileSignatures) host.pathExists(entry.first);
}

}  // namespace

int main() {
  Host& host = guestwise::platformHost();
  runWmiStep(*host.newWmiConnection(), ComputerSystemStep);
  const auto connection = host.newWmiConnection();
  runWmiStep(*connection, BiosStep);
  runWmiStep(*connection, BaseBoardStep);
  runWmiStep(*connection, DiskDriveStep);
  openRegistryKeys(host);
  host.runningProcessImageNames();
  readDriverAttributes(host);
  runWmiStep(*connection, NetworkAdapterStep);
  readFileAttributes(host);
  return 0;
}
