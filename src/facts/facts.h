#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

#include "detect/detection_result.h"
#include "probes/host.h"

// What the machine did not give (a refused query, no snapshot) is null.
NLOHMANN_JSON_NAMESPACE_BEGIN
template <class T>
struct adl_serializer<std::optional<T>> {
  template <class J>
  static void to_json(J& serialized, const std::optional<T>& value) {
    serialized = value ? J(*value) : J(nullptr);
  }
  template <class J>
  static void from_json(const J& serialized, std::optional<T>& value) {
    value = serialized.is_null() ? std::nullopt : std::optional<T>(serialized.template get<T>());
  }
};
NLOHMANN_JSON_NAMESPACE_END

namespace guestwise {

// The facts of one detection: what it read from its host, answer by answer
// in call order, so that the same run can be replayed on any machine.
using Json = nlohmann::ordered_json;
inline constexpr int FactsFormat = 1;
// Real facts files are under 20 KB and 5 levels deep. The bounds keep a
// hostile one from taking the memory, or the stack where values are copied,
// compared or written.
inline constexpr std::size_t MaxFactsBytes = 1 << 20;
inline constexpr int MaxFactsNesting = 8;

// Every host call is one record: its "kind", the member that holds what the
// probes asked (none when they ask nothing) and the one that holds the
// machine's answer. WMI records also hold the "query" and its "rows".
struct HostCall {
  const char* kind;
  const char* asked;
  const char* answer;
};

// A record's member converted by the library's type mapping, or T's empty
// value when there is no such member of that type.
template <class T>
T member(const Json* record, const char* name) {
  try {
    if (record != nullptr) return record->at(name).get<T>();
  } catch (const Json::exception&) {
  }
  return T{};
}

// What the processor says of a hypervisor, from the CPUID leaves it offers
// (read through the host, each written down with its registers), as the
// facts document's "processor" section holds it.
Json processorFacts(Host& host);
// The registers that a processor section records for the leaf; 0 for each
// one it does not record as 8 hex digits.
CpuidRegisters recordedCpuid(const Json* processor, std::uint32_t leaf);

// Writes down every call the probes make and its answer, in call order. The
// answers come from the machine or, in a replay, from the records of a facts
// file, in order and unjudged: a record of another kind, or a member of
// another type, gives the call its empty answer, and after the last record
// the machine has no trace (WMI connects and finds no rows, nothing else
// exists). Comparing what was written down with the file judges the replay.
class FactsHost : public Host {
 public:
  explicit FactsHost(Host& machine) : machine_(&machine) {}
  // `fileRecords` must outlive the host, and so must `processor`, a file's
  // section whose registers answer CPUID (none: every register reads 0). A
  // detection that needs only the first few calls written down keeps that
  // many.
  explicit FactsHost(const Json& fileRecords, std::size_t kept = SIZE_MAX,
                     const Json* processor = nullptr)
      : replayed_(&fileRecords), kept_(kept), processor_(processor) {}

  std::unique_ptr<WmiSession> newWmiConnection() override;
  bool registryKeyOpens(const std::string& key) override {
    return answer({"registryKey", "key", "opens"}, &key,
                  [&] { return machine_->registryKeyOpens(key); });
  }
  std::optional<std::string> windowsDirectory() override {
    return answer({"windowsDirectory", nullptr, "path"}, nullptr,
                  [&] { return machine_->windowsDirectory(); });
  }
  bool pathExists(const std::string& path) override {
    return answer({"path", "path", "exists"}, &path, [&] { return machine_->pathExists(path); });
  }
  std::optional<std::vector<std::string>> runningProcessImageNames() override {
    return answer({"processes", nullptr, "names"}, nullptr,
                  [&] { return machine_->runningProcessImageNames(); });
  }
  // Not an answer to the probes, so never written down with them.
  CpuidRegisters cpuid(std::uint32_t leaf) override {
    return machine_ ? machine_->cpuid(leaf) : recordedCpuid(processor_, leaf);
  }

  Json& records() { return records_; }

 private:
  friend class FactsSession;

  template <class Ask>
  auto answer(const HostCall& call, const std::string* asked, Ask ask) -> decltype(ask()) {
    const auto value = machine_ ? ask() : member<decltype(ask())>(next(call.kind), call.answer);
    if (Json* record = writeDown(call.kind)) {
      if (asked != nullptr) (*record)[call.asked] = *asked;
      (*record)[call.answer] = value;
    }
    return value;
  }
  // A new record of this kind, or nothing when enough are kept.
  Json* writeDown(const char* kind);
  // The next record of the file when it is of this kind.
  const Json* next(const char* kind);
  bool pastTheLast() const { return next_ >= replayed_->size(); }

  Host* machine_ = nullptr;
  const Json* replayed_ = nullptr;
  std::size_t next_ = 0;
  std::size_t kept_ = SIZE_MAX;
  const Json* processor_ = nullptr;
  Json records_ = Json::array();
};

// The document of a run, with a two-space indent and no final line break;
// a null processor section is left out, as the first release wrote none.
std::string factsText(const Json& report, const Json& answers, const Json& processor = Json());
// A value as the document holds it once written: bytes that are not UTF-8
// read as U+FFFD.
Json asWritten(const Json& value);
// Reads UTF-8, with or without a byte order mark, and UTF-16 with one.
// Throws std::runtime_error, saying why in one line, for a file over the
// bounds, text that is not JSON, or a document of another format.
Json parseFacts(const std::string& bytes);
// Where two values first differ, as one line: "at /vendor: the replay has
// "QEMU", the file "VMware""; nothing when they are equal.
std::optional<std::string> firstDifference(const Json& replayed, const Json& recorded,
                                           const std::string& where);
// The probes' query texts and property names are ASCII literals.
std::string asciiText(const wchar_t* text);

// GuestwiseFacts: the document of one run, redacted, with a line break;
// returns the exit status that Guestwise.exe gives for the same run.
int collectFacts(Host& host, std::string& document);

// GuestwiseReplay: the report and exit status of the recorded run and, when
// the report is not the file's, the line that says where they first differ;
// for a file that cannot be replayed, no status (the tool gives its own) and
// the line that says why.
struct ReplayOutcome {
  std::optional<int> status;
  std::string report;
  std::string refusal;
  std::string difference;
};
ReplayOutcome replayFacts(const std::string& bytes);

// One detection over a machine that gives these answers (a facts document's
// "answers") in order, and nothing after the last of them. Throws
// std::runtime_error when the answers do not fit the probes' calls.
DetectionResult detectOverAnswers(const Json& answers);

}  // namespace guestwise
