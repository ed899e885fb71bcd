#pragma once

#include <vector>

#include "facts/facts.h"
#include "probes/host.h"

namespace guestwise {

// Asks another host and keeps every answer it gives, in call order: each WMI
// connection attempt with its query and the properties read from each row,
// each registry key, the Windows directory, each path, the process snapshot.
class RecordingHost : public Host {
 public:
  explicit RecordingHost(Host& inner) : inner_(inner) {}

  std::unique_ptr<WmiSession> newWmiConnection() override;
  bool registryKeyOpens(const std::string& subkey) override;
  std::optional<std::string> windowsDirectory() override;
  bool pathExists(const std::string& path) override;
  std::optional<std::vector<std::string>> runningProcessImageNames() override;

  const std::vector<Answer>& answers() const { return answers_; }

 private:
  friend class RecordingSession;
  Host& inner_;
  std::vector<Answer> answers_;
};

}  // namespace guestwise
