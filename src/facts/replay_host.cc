#include "facts/replay_host.h"

namespace guestwise {

namespace {

std::string answerLabel(std::size_t index) {
  return "answer " + std::to_string(index + 1);
}

}  // namespace

// A recorded row: the handler must read the recorded properties, in order.
class ReplayRow : public WmiRow {
 public:
  ReplayRow(ReplayHost& host, std::string where, const WmiRowFacts& facts)
      : host_(host), where_(std::move(where)), facts_(facts) {}

  std::string getStringProperty(const wchar_t* name) const override {
    if (host_.failed()) return {};
    const std::string property = asciiText(name);
    if (read_ == facts_.size()) {
      host_.fail(where_, "property " + quoted(property), "no more properties");
      return {};
    }
    const auto& [recorded, value] = facts_[read_];
    if (property != recorded) {
      host_.fail(where_, "property " + quoted(property), "property " + quoted(recorded));
      return {};
    }
    ++read_;
    return value;
  }

  void expectAllRead() const {
    if (host_.failed() || read_ == facts_.size()) return;
    host_.fail(where_, "no more properties", "property " + quoted(facts_[read_].first));
  }

 private:
  ReplayHost& host_;
  std::string where_;
  const WmiRowFacts& facts_;
  mutable std::size_t read_ = 0;
};

class ReplaySession : public WmiSession {
 public:
  explicit ReplaySession(ReplayHost& host) : host_(host) {}

  bool connect() override {
    if (attempt_ || empty_) return true;
    const WmiAnswer* answer = host_.take<WmiAnswer>([] { return "a WMI connection"; },
                                                    [](const WmiAnswer&) { return true; });
    if (answer == nullptr) {
      empty_ = host_.onEmptyMachine();
      return empty_;
    }
    if (!answer->connected) return false;
    attempt_ = host_.next_ - 1;
    if (answer->query) host_.pendingQuery_ = attempt_;
    return true;
  }

  bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) override {
    if (empty_) return true;
    if (!attempt_) return false;
    return host_.runQuery(*attempt_, asciiText(query), handler);
  }

  void release() override {
    attempt_.reset();
    empty_ = false;
  }

 private:
  ReplayHost& host_;
  std::optional<std::size_t> attempt_;  // the answer of the connected attempt
  bool empty_ = false;                  // connected past the answers: no rows
};

template <class T, class Asked, class Fits>
const T* ReplayHost::take(Asked asked, Fits fits) {
  expectNoPendingQuery();
  if (failed()) return nullptr;
  if (next_ == answers_.size()) {
    if (after_ == AfterTheAnswers::Mismatch) fail(answerLabel(next_), asked(), "no more answers");
    return nullptr;
  }
  const T* answer = std::get_if<T>(&answers_[next_]);
  if (answer == nullptr || !fits(*answer)) {
    fail(answerLabel(next_), asked(), describeAnswer(answers_[next_]));
    return nullptr;
  }
  ++next_;
  return answer;
}

bool ReplayHost::runQuery(std::size_t attempt, const std::string& query,
                          const WmiRowHandler& handler) {
  if (failed()) return false;
  const auto& answer = std::get<WmiAnswer>(answers_[attempt]);
  const auto asked = [&] { return "WMI query " + quoted(query); };
  if (pendingQuery_ != attempt) {
    fail(answerLabel(attempt), asked(),
         answer.query ? "one query on this connection" : "a WMI connection without a query");
    return false;
  }
  if (*answer.query != query) {
    fail(answerLabel(attempt), asked(), "WMI query " + quoted(*answer.query));
    return false;
  }
  pendingQuery_.reset();
  if (!answer.rows) return false;  // refused
  for (std::size_t i = 0; i < answer.rows->size() && !failed(); ++i) {
    const ReplayRow row(*this, answerLabel(attempt) + ", row " + std::to_string(i + 1),
                        (*answer.rows)[i]);
    handler(row);
    row.expectAllRead();
  }
  return true;
}

void ReplayHost::expectNoPendingQuery() {
  if (failed() || !pendingQuery_) return;
  const auto& answer = std::get<WmiAnswer>(answers_[*pendingQuery_]);
  fail(answerLabel(*pendingQuery_), "no query on the connection",
       "WMI query " + quoted(*answer.query));
}

void ReplayHost::fail(const std::string& where, const std::string& asked, const std::string& held) {
  if (failed()) return;
  mismatch_ = where + ": the probes asked for " + asked + ", the file holds " + held;
}

std::unique_ptr<WmiSession> ReplayHost::newWmiConnection() {
  return std::make_unique<ReplaySession>(*this);
}

bool ReplayHost::registryKeyOpens(const std::string& subkey) {
  const auto* answer =
      take<RegistryKeyAnswer>([&] { return "registry key " + quoted(subkey); },
                              [&](const RegistryKeyAnswer& a) { return a.key == subkey; });
  return answer != nullptr && answer->opens;
}

std::optional<std::string> ReplayHost::windowsDirectory() {
  const auto* answer = take<WindowsDirectoryAnswer>(
      [] { return "the Windows directory"; }, [](const WindowsDirectoryAnswer&) { return true; });
  return answer != nullptr ? answer->path : std::nullopt;
}

bool ReplayHost::pathExists(const std::string& path) {
  const auto* answer = take<PathAnswer>([&] { return "path " + quoted(path); },
                                        [&](const PathAnswer& a) { return a.path == path; });
  return answer != nullptr && answer->exists;
}

std::optional<std::vector<std::string>> ReplayHost::runningProcessImageNames() {
  const auto* answer = take<ProcessesAnswer>([] { return "the running processes"; },
                                             [](const ProcessesAnswer&) { return true; });
  if (answer == nullptr && onEmptyMachine()) return std::vector<std::string>{};
  return answer != nullptr ? answer->names : std::nullopt;
}

std::string ReplayHost::finish() {
  expectNoPendingQuery();
  if (!failed() && next_ < answers_.size()) {
    const std::size_t left = answers_.size() - next_;
    mismatch_ = answerLabel(next_) + ": the probes asked for nothing more, the file holds " +
                describeAnswer(answers_[next_]) + " (" + std::to_string(left) +
                (left == 1 ? " answer" : " answers") + " left over)";
  }
  return mismatch_;
}

}  // namespace guestwise
