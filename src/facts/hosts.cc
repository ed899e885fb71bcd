#include "facts/facts.h"

namespace guestwise {

namespace {

// Hands the handler each property from the machine's row or the file's, and
// writes it down.
class FactsRow : public WmiRow {
 public:
  FactsRow(const WmiRow* machine, const Json* replayed, Json& record)
      : machine_(machine), replayed_(replayed), record_(record) {}
  std::string getStringProperty(const wchar_t* name) const override {
    const std::string key = asciiText(name);
    std::string value =
        machine_ ? machine_->getStringProperty(name) : member<std::string>(replayed_, key.c_str());
    record_[key] = value;
    return value;
  }

 private:
  const WmiRow* machine_;
  const Json* replayed_;
  Json& record_;
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
    attempt_ = host_.records_.size();
    host_.records_.push_back({{"kind", "wmi"}, {"connected", connected_}});
    return connected_;
  }

  // The probes run one query per connection; a second one would not replay.
  bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) override {
    if (!connected_ || attempt().contains("query")) return false;
    attempt()["query"] = asciiText(query);
    Json& rows = attempt()["rows"] = Json::array();  // the handlers add no record
    const auto recordRow = [&](const WmiRow* row, const Json* replayed) {
      handler(FactsRow(row, replayed, rows.emplace_back(Json::object())));
    };
    bool accepted = replayed_ == nullptr;  // after the last record: no rows
    if (machine_) {
      accepted =
          machine_->executeQuery(query, [&](const WmiRow& row) { recordRow(&row, nullptr); });
    } else if (const auto replayedRows = member<std::optional<Json::array_t>>(replayed_, "rows")) {
      for (const Json& row : *replayedRows) recordRow(nullptr, &row);
      accepted = true;
    }
    if (!accepted) rows = nullptr;
    return accepted;
  }

  void release() override {
    connected_ = false;
    if (machine_) machine_->release();
  }

 private:
  Json& attempt() { return host_.records_[attempt_]; }

  FactsHost& host_;
  std::unique_ptr<WmiSession> machine_;
  const Json* replayed_ = nullptr;
  bool connected_ = false;
  std::size_t attempt_ = 0;
};

std::unique_ptr<WmiSession> FactsHost::newWmiConnection() {
  return std::make_unique<FactsSession>(*this);
}

const Json* FactsHost::next(const char* kind) {
  if (pastTheLast()) return nullptr;
  const Json& record = (*replayed_)[next_++];
  return member<std::string>(&record, "kind") == kind ? &record : nullptr;
}

}  // namespace guestwise
