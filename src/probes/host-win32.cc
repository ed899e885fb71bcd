// The probes' host on a real Windows machine.
#include "platform/windows-win32.h"
#include <tlhelp32.h>
#ifdef _MSC_VER
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include "platform/handles-win32.h"
#include "platform/utf8-win32.h"
#include "probes/host.h"
#include "probes/wmi_connection-win32.h"

namespace guestwise {

namespace {

CpuidRegisters processorAnswer(std::uint32_t leaf) {
#ifdef _MSC_VER
  int registers[4];
  __cpuidex(registers, static_cast<int>(leaf), 0);
  return {static_cast<std::uint32_t>(registers[0]), static_cast<std::uint32_t>(registers[1]),
          static_cast<std::uint32_t>(registers[2]), static_cast<std::uint32_t>(registers[3])};
#else
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(leaf, 0, eax, ebx, ecx, edx);
  return {eax, ebx, ecx, edx};
#endif
}

class WindowsHost : public Host {
 public:
  std::unique_ptr<WmiSession> newWmiConnection() override {
    return std::make_unique<WmiConnection>();
  }

  bool registryKeyOpens(const std::string& subkey) override {
    return RegistryKey(HKEY_LOCAL_MACHINE, subkey.c_str()).opened();
  }

  std::optional<std::string> windowsDirectory() override {
    char buffer[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    return std::string(buffer, length);
  }

  bool pathExists(const std::string& path) override {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::optional<std::vector<std::string>> runningProcessImageNames() override {
    const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return std::nullopt;
    std::vector<std::string> names;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      names.push_back(toUtf8(entry.szExeFile));
    }
    return names;
  }

  CpuidRegisters cpuid(std::uint32_t leaf) override { return processorAnswer(leaf); }
};

}  // namespace

Host& platformHost() {
  static WindowsHost host;
  return host;
}

}  // namespace guestwise
