#include "facts/facts.h"

namespace guestwise {

namespace {

// Hands the handler each property from the machine's row or the file's, and
// writes it down when the connection's record is kept.
class FactsRow : public WmiRow {
 public:
  FactsRow(const WmiRow* machine, const Json* replayed, Json* record)
      : machine_(machine), replayed_(replayed), record_(record) {}
  std::string getStringProperty(const wchar_t* name) const override {
    const std::string key = asciiText(name);
    std::string value =
        machine_ ? machine_->getStringProperty(name) : member<std::string>(replayed_, key.c_str());
    if (record_ != nullptr) (*record_)[key] = value;
    return value;
  }

 private:
  const WmiRow* machine_;
  const Json* replayed_;
  Json* record_;
};

}  // namespace

class FactsSession : public WmiSession {
 public:
  explicit FactsSession(FactsHost& host)
      : host_(host), machine_(host.machine_ ? host.machine_->newWmiConnection() : nullptr) {}

  bool connect() override {
    if (connected_) return true;
    const bool noTrace = !machine_ && host_.pastTheLast();
    replayed_ = machine_ ? nullptr : host_.next("wmi");
    connected_ = machine_ ? machine_->connect() : noTrace || member<bool>(replayed_, "connected");
    queried_ = false;
    attempt_.reset();
    if (Json* record = host_.writeDown("wmi")) {
      (*record)["connected"] = connected_;
      attempt_ = host_.records_.size() - 1;
    }
    return connected_;
  }

  // The probes run one query per connection; a second one would not replay.
  bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) override {
    if (!connected_ || queried_) return false;
    queried_ = true;
    Json* written = nullptr;  // the handlers add no record, so it stays put
    if (attempt_) {
      host_.records_[*attempt_]["query"] = asciiText(query);
      written = &(host_.records_[*attempt_]["rows"] = Json::array());
    }
    const auto onRow = [&](const WmiRow* row, const Json* replayed) {
      handler(FactsRow(row, replayed, written ? &written->emplace_back(Json::object()) : nullptr));
    };
    bool accepted = replayed_ == nullptr;  // after the last record: no rows
    if (machine_) {
      accepted = machine_->executeQuery(query, [&](const WmiRow& row) { onRow(&row, nullptr); });
    } else if (replayed_ != nullptr) {
      const auto rows = replayed_->find("rows");
      accepted = rows != replayed_->end() && rows->is_array();
      if (accepted) {
        for (const Json& row : *rows) onRow(nullptr, &row);
      }
    }
    if (!accepted && written) *written = nullptr;
    return accepted;
  }

  void release() override {
    connected_ = false;
    if (machine_) machine_->release();
  }

 private:
  FactsHost& host_;
  std::unique_ptr<WmiSession> machine_;
  const Json* replayed_ = nullptr;
  bool connected_ = false;
  bool queried_ = false;
  std::optional<std::size_t> attempt_;  // the index of its record, when kept
};

std::unique_ptr<WmiSession> FactsHost::newWmiConnection() {
  return std::make_unique<FactsSession>(*this);
}

Json* FactsHost::writeDown(const char* kind) {
  if (records_.size() >= kept_) return nullptr;
  return &records_.emplace_back(Json{{"kind", kind}});
}

const Json* FactsHost::next(const char* kind) {
  if (pastTheLast()) return nullptr;
  const Json& record = (*replayed_)[next_++];
  return member<std::string>(&record, "kind") == kind ? &record : nullptr;
}

}  // namespace guestwise
