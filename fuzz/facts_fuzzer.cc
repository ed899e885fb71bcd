// Arbitrary bytes as a facts file: the replay either refuses them with one
// line and no report, or replays them to a report that is JSON; a document
// it accepts reads back the same after writing it out again.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "facts/facts.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void requireRoundTrip(const std::string& bytes) {
  guestwise::Json document;
  try {
    document = guestwise::parseFacts(bytes);
  } catch (const std::exception&) {
    return;
  }
  const auto text = [](const guestwise::Json& facts) {
    return guestwise::factsText(facts["report"], facts["answers"],
                                facts.value("processor", guestwise::Json()));
  };
  const std::string written = text(document);
  require(text(guestwise::parseFacts(written)) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const guestwise::ReplayOutcome outcome = guestwise::replayFacts(bytes);
  if (!outcome.status) {
    require(outcome.report.empty() && outcome.difference.empty());
    require(!outcome.refusal.empty() && outcome.refusal.find('\n') == std::string::npos);
  } else {
    require(outcome.refusal.empty() && outcome.difference.find('\n') == std::string::npos);
    require(*outcome.status == 0 || *outcome.status == 1 || *outcome.status == -1);
    require(nlohmann::json::parse(outcome.report).is_object());
  }
  requireRoundTrip(bytes);
  return 0;
}
