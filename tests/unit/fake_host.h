#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "detect/detector.h"
#include "probes/host.h"

namespace guestwise::testing {

class FakeRow : public WmiRow {
 public:
  FakeRow(std::map<std::wstring, std::string> properties) : properties_(std::move(properties)) {}
  std::string getStringProperty(const wchar_t* name) const override {
    const auto found = properties_.find(name);
    return found == properties_.end() ? std::string() : found->second;
  }

 private:
  std::map<std::wstring, std::string> properties_;
};

// A machine scripted by a test: what WMI answers (rows per WMI class), which
// registry keys open, which paths exist, which processes run. It also keeps
// count of the WMI calls so that tests can check their order and balance.
class FakeHost : public Host {
 public:
  bool wmiAvailable = true;
  std::map<std::wstring, std::vector<FakeRow>> rowsByClass;
  std::set<std::wstring> refusedClasses;  // their queries fail
  std::set<std::string> openableKeys;
  std::optional<std::string> windowsDir = std::string("C:\\Windows");
  std::set<std::string> existingPaths;
  std::optional<std::vector<std::string>> processes = std::vector<std::string>{};
  std::function<void()> beforeEachRow;                  // a test may throw from here
  std::map<std::uint32_t, CpuidRegisters> cpuidLeaves;  // the others answer 0s

  std::vector<std::wstring> queriesRun;
  std::vector<std::string> pathsAsked;
  std::vector<std::uint32_t> cpuidLeavesAsked;
  int connectsMade = 0;
  int connectionsOpen = 0;

  std::unique_ptr<WmiSession> newWmiConnection() override;
  bool registryKeyOpens(const std::string& subkey) override {
    return openableKeys.count(subkey) != 0;
  }
  std::optional<std::string> windowsDirectory() override { return windowsDir; }
  bool pathExists(const std::string& path) override {
    pathsAsked.push_back(path);
    return existingPaths.count(path) != 0;
  }
  std::optional<std::vector<std::string>> runningProcessImageNames() override { return processes; }
  CpuidRegisters cpuid(std::uint32_t leaf) override {
    cpuidLeavesAsked.push_back(leaf);
    const auto found = cpuidLeaves.find(leaf);
    return found == cpuidLeaves.end() ? CpuidRegisters{} : found->second;
  }
};

class FakeWmiSession : public WmiSession {
 public:
  explicit FakeWmiSession(FakeHost& host) : host_(host) {}
  bool connect() override {
    if (connected_) return true;
    if (!host_.wmiAvailable) return false;
    connected_ = true;
    ++host_.connectsMade;
    ++host_.connectionsOpen;
    return true;
  }
  bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) override {
    if (!connected_) return false;
    const std::wstring text = query;
    host_.queriesRun.push_back(text);
    for (const std::wstring& refused : host_.refusedClasses) {
      if (text.find(L"FROM " + refused) != std::wstring::npos) return false;
    }
    for (const auto& [wmiClass, rows] : host_.rowsByClass) {
      if (text.find(L"FROM " + wmiClass) == std::wstring::npos) continue;
      for (const FakeRow& row : rows) {
        if (host_.beforeEachRow) host_.beforeEachRow();
        handler(row);
      }
    }
    return true;
  }
  void release() override {
    if (!connected_) return;
    connected_ = false;
    --host_.connectionsOpen;
  }

 private:
  FakeHost& host_;
  bool connected_ = false;
};

inline std::unique_ptr<WmiSession> FakeHost::newWmiConnection() {
  return std::make_unique<FakeWmiSession>(*this);
}

// A detector on a scripted machine, for tests that call its probes one by
// one or add findings of their own.
struct Probe {
  FakeHost host;
  Detector detector{host};
};

}  // namespace guestwise::testing
