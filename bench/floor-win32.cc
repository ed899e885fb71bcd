// The platform calls of one Guestwise run, in the same order, and nothing
// else: no matching, no scoring, no report. Its run time is the floor that
// Guestwise.exe is measured against (bench/overhead.sh).
#include <windows.h>
#include <tlhelp32.h>

#include <array>
#include <string>
#include <vector>

#include "detect/signature_tables.h"
#include "probes/host.h"
#include "probes/wmi_connection-win32.h"

namespace {

using guestwise::WmiConnection;
using guestwise::WmiRow;
using guestwise::WmiSessionGuard;

// One WMI session: its query and the properties the probes read per row
// (nullptr ends a shorter list).
struct WmiStep {
  const wchar_t* query;
  std::array<const wchar_t*, 3> properties;
};

// Copies of the query texts in src/probes/hardware_identity_probes.cc and
// src/detect/detector.cc, which keep them inline next to the probes.
constexpr WmiStep ComputerSystemStep = {L"SELECT Manufacturer, Model FROM Win32_ComputerSystem",
                                        {L"Manufacturer", L"Model", nullptr}};
constexpr WmiStep BiosStep = {L"SELECT Manufacturer, SerialNumber, Version FROM Win32_BIOS",
                              {L"Manufacturer", L"SerialNumber", L"Version"}};
constexpr WmiStep BaseBoardStep = {L"SELECT Manufacturer, Product FROM Win32_BaseBoard",
                                   {L"Manufacturer", L"Product", nullptr}};
constexpr WmiStep DiskDriveStep = {L"SELECT Model, Caption FROM Win32_DiskDrive",
                                   {L"Model", L"Caption", nullptr}};
constexpr WmiStep NetworkAdapterStep = {
    L"SELECT MACAddress, Name, NetConnectionStatus FROM Win32_NetworkAdapter "
    L"WHERE MACAddress IS NOT NULL AND NetConnectionStatus = 2",
    {L"MACAddress", L"Name", nullptr}};

// Connect, query, read each row's properties, release - as the detector does
// with a connection object that may have served an earlier query.
void runWmiStep(WmiConnection& connection, const WmiStep& step) {
  connection.release();
  WmiSessionGuard guard(connection);
  if (!connection.connect()) return;
  connection.executeQuery(step.query, [&step](const WmiRow& row) {
    for (const wchar_t* property : step.properties) {
      if (property != nullptr) row.getStringProperty(property);
    }
  });
}

class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  HKEY* put() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

void openRegistryKeys() {
  for (const auto& entry : guestwise::RegistrySignatures) {
    ScopedKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, entry.first.c_str(), 0, KEY_READ, key.put());
  }
}

void walkProcesses() {
  const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return;
  std::vector<std::string> names;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    names.push_back(guestwise::toUtf8(entry.szExeFile));
  }
}

void readDriverAttributes() {
  char buffer[MAX_PATH];
  const UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::string driverFolder = std::string(buffer, length) + "\\System32\\drivers\\";
  for (const auto& entry : guestwise::DriverSignatures) {
    GetFileAttributesA((driverFolder + entry.first).c_str());
  }
}

void readFileAttributes() {
  for (const auto& entry : guestwise::FileSignatures) GetFileAttributesA(entry.first.c_str());
}

}  // namespace

int main() {
  {
    WmiConnection computerSystem;
    runWmiStep(computerSystem, ComputerSystemStep);
  }
  WmiConnection connection;
  runWmiStep(connection, BiosStep);
  runWmiStep(connection, BaseBoardStep);
  runWmiStep(connection, DiskDriveStep);
  openRegistryKeys();
  walkProcesses();
  readDriverAttributes();
  runWmiStep(connection, NetworkAdapterStep);
  readFileAttributes();
  return 0;
}
