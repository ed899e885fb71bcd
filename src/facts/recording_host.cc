#include "facts/recording_host.h"

namespace guestwise {

namespace {

// Hands each property the handler reads on, and writes it down.
class RecordingRow : public WmiRow {
 public:
  RecordingRow(const WmiRow& inner, WmiRowFacts& facts) : inner_(inner), facts_(facts) {}
  std::string getStringProperty(const wchar_t* name) const override {
    std::string value = inner_.getStringProperty(name);
    facts_.emplace_back(asciiText(name), value);
    return value;
  }

 private:
  const WmiRow& inner_;
  WmiRowFacts& facts_;
};

}  // namespace

class RecordingSession : public WmiSession {
 public:
  RecordingSession(RecordingHost& host, std::unique_ptr<WmiSession> inner)
      : host_(host), inner_(std::move(inner)) {}

  bool connect() override {
    // A connection that is up answers without asking the machine.
    if (connected_) return inner_->connect();
    connected_ = inner_->connect();
    host_.answers_.push_back(WmiAnswer{connected_, std::nullopt, std::nullopt});
    attempt_ = host_.answers_.size() - 1;
    return connected_;
  }

  bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) override {
    // Unconnected, the query asks nothing; the probes run one query per
    // connection, so a second one is not written down (and would not replay).
    if (!connected_ || attempt().query) return inner_->executeQuery(query, handler);
    attempt().query = asciiText(query);
    attempt().rows.emplace();
    const bool accepted = inner_->executeQuery(query, [this, &handler](const WmiRow& row) {
      // The handlers ask the host nothing else, so the answers stay put.
      std::vector<WmiRowFacts>& rows = *attempt().rows;
      rows.emplace_back();
      handler(RecordingRow(row, rows.back()));
    });
    if (!accepted) attempt().rows.reset();
    return accepted;
  }

  void release() override {
    connected_ = false;
    inner_->release();
  }

 private:
  WmiAnswer& attempt() { return std::get<WmiAnswer>(host_.answers_[attempt_]); }

  RecordingHost& host_;
  std::unique_ptr<WmiSession> inner_;
  bool connected_ = false;
  std::size_t attempt_ = 0;
};

std::unique_ptr<WmiSession> RecordingHost::newWmiConnection() {
  return std::make_unique<RecordingSession>(*this, inner_.newWmiConnection());
}

bool RecordingHost::registryKeyOpens(const std::string& subkey) {
  const bool opens = inner_.registryKeyOpens(subkey);
  answers_.push_back(RegistryKeyAnswer{subkey, opens});
  return opens;
}

std::optional<std::string> RecordingHost::windowsDirectory() {
  auto path = inner_.windowsDirectory();
  answers_.push_back(WindowsDirectoryAnswer{path});
  return path;
}

bool RecordingHost::pathExists(const std::string& path) {
  const bool exists = inner_.pathExists(path);
  answers_.push_back(PathAnswer{path, exists});
  return exists;
}

std::optional<std::vector<std::string>> RecordingHost::runningProcessImageNames() {
  auto names = inner_.runningProcessImageNames();
  answers_.push_back(ProcessesAnswer{names, 0});
  return names;
}

}  // namespace guestwise
