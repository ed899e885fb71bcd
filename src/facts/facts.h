#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace guestwise {

// What one detection read from its host, answer by answer in call order, so
// that the same run can be replayed on any machine.

inline constexpr int FactsFormat = 1;

// One WMI row: the properties the handler read, in the order it read them.
using WmiRowFacts = std::vector<std::pair<std::string, std::string>>;

// One connection attempt. Only an attempt that connected has a query, and
// only an accepted query has rows.
struct WmiAnswer {
  bool connected = false;
  std::optional<std::string> query;
  std::optional<std::vector<WmiRowFacts>> rows;
};

struct RegistryKeyAnswer {
  std::string key;
  bool opens = false;
};

struct WindowsDirectoryAnswer {
  std::optional<std::string> path;
};

struct PathAnswer {
  std::string path;
  bool exists = false;
};

// Nothing when the snapshot failed. Once redacted, only the names of listed
// tools remain and `others` counts the rest.
struct ProcessesAnswer {
  std::optional<std::vector<std::string>> names;
  std::uint64_t others = 0;
};

using Answer =
    std::variant<WmiAnswer, RegistryKeyAnswer, WindowsDirectoryAnswer, PathAnswer, ProcessesAnswer>;

using Json = nlohmann::ordered_json;

struct Facts {
  std::string guestwiseVersion;
  Json report;  // the report object Guestwise.exe printed for the run
  std::vector<Answer> answers;
};

// A document that cannot be replayed; what() is the one line that says why.
class FactsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The document with a two-space indent, without a final line break.
std::string toFactsText(const Facts& facts);
// Throws FactsError for text that is not JSON or does not follow the format.
Facts parseFacts(const std::string& text);
// A document's "answers" array alone; throws FactsError as parseFacts does.
std::vector<Answer> parseAnswers(const Json& answers);

// An answer as the refusal messages name it, e.g. registry key "SOFTWARE\\X".
std::string describeAnswer(const Answer& answer);
// Text as a JSON string literal: quoted, escaped, always on one line.
std::string quoted(const std::string& text);
// The probes' query texts and property names are ASCII literals.
std::string asciiText(const wchar_t* text);

}  // namespace guestwise
