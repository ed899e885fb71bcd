// Arbitrary bytes as a facts file: the replay either refuses them with one
// line and no report, or replays them to a report that is JSON; a document
// it accepts reads back the same after writing it out again.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "facts/facts.h"
#include "facts/facts_tools.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void requireRoundTrip(const std::string& text) {
  guestwise::Facts facts;
  try {
    facts = guestwise::parseFacts(text);
  } catch (const guestwise::FactsError&) {
    return;
  }
  const std::string written = guestwise::toFactsText(facts);
  require(guestwise::toFactsText(guestwise::parseFacts(written)) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const guestwise::ReplayOutcome outcome = guestwise::replayFacts(text);
  if (outcome.status == guestwise::RefusedStatus) {
    require(outcome.report.empty());
    require(!outcome.refusal.empty() && outcome.refusal.find('\n') == std::string::npos);
  } else {
    require(outcome.refusal.empty());
    require(outcome.status == 0 || outcome.status == 1 || outcome.status == -1);
    require(nlohmann::json::parse(outcome.report).is_object());
  }
  requireRoundTrip(text);
  return 0;
}
