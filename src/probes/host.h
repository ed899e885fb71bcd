#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace guestwise {

// The one seam between the probes and the machine they inspect. The Windows
// build answers through the real APIs (host-win32.cc); unit tests script a
// fake. Everything above this line of calls - matching, scoring, messages -
// is the same code in both.

// One WMI result row, lent to a row handler for the length of the call.
class WmiRow {
 public:
  virtual ~WmiRow() = default;
  // The named property as UTF-8; empty when absent or not a string.
  virtual std::string getStringProperty(const wchar_t* name) const = 0;
};

// What the processor's CPUID instruction answered for one leaf.
struct CpuidRegisters {
  std::uint32_t eax = 0;
  std::uint32_t ebx = 0;
  std::uint32_t ecx = 0;
  std::uint32_t edx = 0;
};

using WmiRowHandler = std::function<void(const WmiRow& row)>;

// One connection to the local ROOT\CIMV2 namespace, used for one query.
class WmiSession {
 public:
  virtual ~WmiSession() = default;
  virtual bool connect() = 0;
  // True when the query was accepted and its rows (maybe none) enumerated.
  virtual bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) = 0;
  // Gives back everything connect took; harmless on a cleared connection.
  virtual void release() = 0;
};

class Host {
 public:
  virtual ~Host() = default;
  // A cleared, unconnected WMI connection.
  virtual std::unique_ptr<WmiSession> newWmiConnection() = 0;
  // True when HKEY_LOCAL_MACHINE\subkey opens for reading.
  virtual bool registryKeyOpens(const std::string& subkey) = 0;
  // The Windows directory, or nothing when it cannot be read.
  virtual std::optional<std::string> windowsDirectory() = 0;
  // True when the file system reports attributes for the path.
  virtual bool pathExists(const std::string& path) = 0;
  // Image names of the running processes as UTF-8, one per process, or
  // nothing when no snapshot could be taken.
  virtual std::optional<std::vector<std::string>> runningProcessImageNames() = 0;
  // CPUID for the leaf, subleaf 0. Callers ask only for leaves within the
  // maximum that their range reports; no probe asks at all.
  virtual CpuidRegisters cpuid(std::uint32_t leaf) = 0;
};

// The machine this process runs on (only the Windows build has one).
Host& platformHost();

// Keeps a connection's release on every path out of a scope.
class WmiSessionGuard {
 public:
  explicit WmiSessionGuard(WmiSession& session) : session_(session) {}
  ~WmiSessionGuard() { session_.release(); }
  WmiSessionGuard(const WmiSessionGuard&) = delete;
  WmiSessionGuard& operator=(const WmiSessionGuard&) = delete;

 private:
  WmiSession& session_;
};

}  // namespace guestwise
