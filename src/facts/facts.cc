#include "facts/facts.h"

#include "version.h"

namespace guestwise {

namespace {

// Never throws on bytes that are not UTF-8 (a Windows directory read through
// the ANSI code page may hold some): they become U+FFFD.
std::string dump(const Json& value, int indent = -1) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// The library's message without its tag, "[json.exception.parse_error.101] ".
std::runtime_error refusal(const std::string& why, const Json::exception& error) {
  const std::string message = error.what();
  return std::runtime_error(why + message.substr(message.find("] ") + 2));
}

// PowerShell 5 saves redirected output as UTF-16LE with a byte order mark;
// the parser turns UTF-16 into UTF-8 itself.
std::u16string utf16Text(const std::string& bytes) {
  if (bytes.size() % 2 != 0) throw std::runtime_error("not UTF-16: an odd number of bytes");
  const int high = bytes[0] == '\xFF' ? 1 : 0;
  std::u16string text;
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i + high]) << 8 |
                                  static_cast<unsigned char>(bytes[i + 1 - high]));
  }
  return text;
}

Json parseJson(const std::string& bytes) {
  if (bytes.size() > MaxFactsBytes) {
    throw std::runtime_error("larger than " + std::to_string(MaxFactsBytes) +
                             " bytes: not a facts file");
  }
  // The parser keeps a stack of its own and calls this at every level.
  const auto bounded = [](int depth, Json::parse_event_t, Json&) {
    if (depth <= MaxFactsNesting) return true;
    throw std::runtime_error("not a facts file: nested deeper than " +
                             std::to_string(MaxFactsNesting) + " levels");
  };
  try {
    if (bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0) {
      return Json::parse(utf16Text(bytes), bounded);
    }
    return Json::parse(bytes, bounded);  // skips a UTF-8 byte order mark
  } catch (const Json::exception& e) {
    throw refusal("not JSON: ", e);
  }
}

std::string difference(const std::string& where, const Json* replayed, const Json* recorded) {
  return "at " + where + ": the replay has " + (replayed ? dump(*replayed) : "nothing") +
         ", the file " + (recorded ? dump(*recorded) : "nothing");
}

const std::string NotTheFormat = "does not follow the facts format: ";

std::string withArticle(const char* typeName) {
  return (std::string("aeiou").find(typeName[0]) == std::string::npos ? "a " : "an ") +
         std::string(typeName);
}

// Named in the format's words, not the JSON library's.
void requireType(const Json& document, const char* key, Json::value_t type) {
  const Json& value = document.at(key);
  if (value.type() == type) return;
  throw std::runtime_error(NotTheFormat + "/" + key + " is " + withArticle(value.type_name()) +
                           ", not " + withArticle(Json(type).type_name()));
}

}  // namespace

std::string factsText(const Json& report, const Json& answers, const Json& processor) {
  Json document = {{"format", FactsFormat},
                   {"guestwiseVersion", GUESTWISE_VERSION},
                   {"report", report},
                   {"answers", answers}};
  if (!processor.is_null()) document["processor"] = processor;
  return dump(document, 2);
}

Json asWritten(const Json& value) {
  return Json::parse(dump(value));
}

Json parseFacts(const std::string& bytes) {
  Json document = parseJson(bytes);
  try {
    if (document.at("format") != FactsFormat) {
      throw std::runtime_error(NotTheFormat + "/format is " + dump(document["format"]) +
                               "; this replay reads format " + std::to_string(FactsFormat));
    }
    requireType(document, "report", Json::value_t::object);
    requireType(document, "answers", Json::value_t::array);
  } catch (const Json::exception& e) {
    throw refusal(NotTheFormat, e);
  }
  return document;
}

std::optional<std::string> firstDifference(const Json& replayed, const Json& recorded,
                                           const std::string& where) {
  if (replayed.is_object() && recorded.is_object()) {
    for (const auto& [key, value] : replayed.items()) {
      const auto found = recorded.find(key);
      if (found == recorded.end()) return difference(where + "/" + key, &value, nullptr);
      if (auto differs = firstDifference(value, *found, where + "/" + key)) return differs;
    }
    for (const auto& [key, value] : recorded.items()) {
      if (!replayed.contains(key)) return difference(where + "/" + key, nullptr, &value);
    }
  } else if (replayed.is_array() && recorded.is_array()) {
    for (std::size_t i = 0; i < replayed.size() || i < recorded.size(); ++i) {
      const Json* ours = i < replayed.size() ? &replayed[i] : nullptr;
      const Json* theirs = i < recorded.size() ? &recorded[i] : nullptr;
      const std::string at = where + "/" + std::to_string(i);
      if (!ours || !theirs) return difference(at, ours, theirs);
      if (auto differs = firstDifference(*ours, *theirs, at)) return differs;
    }
  } else if (replayed != recorded) {
    return difference(where, &replayed, &recorded);
  }
  return std::nullopt;
}

std::string asciiText(const wchar_t* text) {
  std::string ascii;
  for (; *text != L'\0'; ++text) ascii += *text < 0x80 ? static_cast<char>(*text) : '?';
  return ascii;
}

}  // namespace guestwise
