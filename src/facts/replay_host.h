#pragma once

#include <vector>

#include "facts/facts.h"
#include "probes/host.h"

namespace guestwise {

// Answers the probes from recorded answers, in order. A call that the next
// answer does not fit cannot be thrown through the detector (it would become
// the report's error), so the first mismatch is kept and every call after it
// gets a harmless answer; finish() tells whether the run fitted the answers.
// What the calls after the last answer meet.
enum class AfterTheAnswers {
  Mismatch,      // a replay must use the answers and no more
  EmptyMachine,  // WMI connects and finds no rows; no key, path, process or Windows directory
};

class ReplayHost : public Host {
 public:
  explicit ReplayHost(std::vector<Answer> answers,
                      AfterTheAnswers after = AfterTheAnswers::Mismatch)
      : answers_(std::move(answers)), after_(after) {}

  std::unique_ptr<WmiSession> newWmiConnection() override;
  bool registryKeyOpens(const std::string& subkey) override;
  std::optional<std::string> windowsDirectory() override;
  bool pathExists(const std::string& path) override;
  std::optional<std::vector<std::string>> runningProcessImageNames() override;

  // After the run: the first mismatch, or answers left over, as one line;
  // empty when the calls used every answer exactly.
  std::string finish();

 private:
  friend class ReplaySession;
  friend class ReplayRow;

  // The next answer when it is a T that `fits`, else the mismatch is noted
  // with what `asked()` says (only then: a census replays many machines).
  template <class T, class Asked, class Fits>
  const T* take(Asked asked, Fits fits);
  bool runQuery(std::size_t attempt, const std::string& query, const WmiRowHandler& handler);
  void fail(const std::string& where, const std::string& asked, const std::string& held);
  bool failed() const { return !mismatch_.empty(); }
  bool onEmptyMachine() const {
    return after_ == AfterTheAnswers::EmptyMachine && next_ == answers_.size() && !failed();
  }
  void expectNoPendingQuery();

  std::vector<Answer> answers_;
  AfterTheAnswers after_;
  std::size_t next_ = 0;
  std::optional<std::size_t> pendingQuery_;  // connected, query still to come
  std::string mismatch_;
};

}  // namespace guestwise
