#include "facts/facts.h"

#include <initializer_list>

namespace guestwise {

namespace {

// Never throws on bytes that are not UTF-8 (a Windows directory read through
// the ANSI code page may hold some): they become U+FFFD.
std::string dump(const Json& value, int indent = -1) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// ---- writing

Json rowJson(const WmiRowFacts& row) {
  Json object = Json::object();
  for (const auto& [name, value] : row) object[name] = value;
  return object;
}

Json answerJson(const WmiAnswer& answer) {
  Json json = {{"kind", "wmi"}, {"connected", answer.connected}};
  if (!answer.query) return json;
  json["query"] = *answer.query;
  json["rows"] = nullptr;
  if (answer.rows) {
    json["rows"] = Json::array();
    for (const WmiRowFacts& row : *answer.rows) json["rows"].push_back(rowJson(row));
  }
  return json;
}

Json answerJson(const RegistryKeyAnswer& answer) {
  return {{"kind", "registryKey"}, {"key", answer.key}, {"opens", answer.opens}};
}

Json answerJson(const WindowsDirectoryAnswer& answer) {
  Json json = {{"kind", "windowsDirectory"}, {"path", nullptr}};
  if (answer.path) json["path"] = *answer.path;
  return json;
}

Json answerJson(const PathAnswer& answer) {
  return {{"kind", "path"}, {"path", answer.path}, {"exists", answer.exists}};
}

Json answerJson(const ProcessesAnswer& answer) {
  Json json = {{"kind", "processes"}, {"names", nullptr}};
  if (answer.names) {
    json["names"] = *answer.names;
    json["others"] = answer.others;
  }
  return json;
}

// ---- reading: every member checked, so that what the replay meets is
// exactly what the schema allows. `where` is a JSON pointer.

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
  throw FactsError("does not follow the facts format: " + where + " " + what);
}

const Json& object(const Json& value, const std::string& where,
                   std::initializer_list<const char*> members) {
  if (!value.is_object()) refuse(where, "must be an object");
  for (const auto& item : value.items()) {
    bool known = false;
    for (const char* member : members) known = known || item.key() == member;
    if (!known) refuse(where, "has an unknown member " + quoted(item.key()));
  }
  return value;
}

const Json* optionalMember(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

const Json& member(const Json& object, const std::string& where, const char* name) {
  const Json* value = optionalMember(object, name);
  if (value == nullptr) refuse(where, "has no member \"" + std::string(name) + "\"");
  return *value;
}

bool boolean(const Json& object, const std::string& where, const char* name) {
  const Json& value = member(object, where, name);
  if (!value.is_boolean()) refuse(where + "/" + name, "must be true or false");
  return value.get<bool>();
}

std::string stringValue(const Json& value, const std::string& where) {
  if (!value.is_string()) refuse(where, "must be a string");
  return value.get<std::string>();
}

std::optional<std::string> stringOrNull(const Json& object, const std::string& where,
                                        const char* name) {
  const Json& value = member(object, where, name);
  if (value.is_null()) return std::nullopt;
  return stringValue(value, where + "/" + name);
}

const Json& array(const Json& value, const std::string& where) {
  if (!value.is_array()) refuse(where, "must be an array");
  return value;
}

WmiRowFacts parseRow(const Json& value, const std::string& where) {
  if (!value.is_object()) refuse(where, "must be an object");
  WmiRowFacts row;
  for (const auto& item : value.items()) {
    if (!item.value().is_string())
      refuse(where, "property " + quoted(item.key()) + " must be a string");
    row.emplace_back(item.key(), item.value().get<std::string>());
  }
  return row;
}

Answer parseWmi(const Json& json, const std::string& where) {
  WmiAnswer answer;
  answer.connected = boolean(json, where, "connected");
  const Json* query = optionalMember(json, "query");
  const Json* rows = optionalMember(json, "rows");
  if (query == nullptr) {
    if (rows != nullptr) refuse(where, "has rows but no query");
    return answer;
  }
  if (!answer.connected) refuse(where, "has a query but did not connect");
  answer.query = stringValue(*query, where + "/query");
  if (rows == nullptr) refuse(where, "has no member \"rows\"");
  if (rows->is_null()) return answer;
  const Json& list = array(*rows, where + "/rows");
  answer.rows.emplace();
  for (std::size_t i = 0; i < list.size(); ++i) {
    answer.rows->push_back(parseRow(list[i], where + "/rows/" + std::to_string(i)));
  }
  return answer;
}

Answer parseProcesses(const Json& json, const std::string& where) {
  ProcessesAnswer answer;
  const Json& names = member(json, where, "names");
  const Json* others = optionalMember(json, "others");
  if (names.is_null()) {
    if (others != nullptr) refuse(where, "counts others but has no names");
    return answer;
  }
  array(names, where + "/names");
  answer.names.emplace();
  for (std::size_t i = 0; i < names.size(); ++i) {
    answer.names->push_back(stringValue(names[i], where + "/names/" + std::to_string(i)));
  }
  if (others != nullptr) {
    if (!others->is_number_unsigned()) refuse(where + "/others", "must be a whole number from 0");
    answer.others = others->get<std::uint64_t>();
  }
  return answer;
}

Answer parseAnswer(const Json& json, const std::string& where) {
  if (!json.is_object()) refuse(where, "must be an object");
  const std::string kind = stringValue(member(json, where, "kind"), where + "/kind");
  if (kind == "wmi") {
    return parseWmi(object(json, where, {"kind", "connected", "query", "rows"}), where);
  }
  if (kind == "registryKey") {
    object(json, where, {"kind", "key", "opens"});
    return RegistryKeyAnswer{stringValue(member(json, where, "key"), where + "/key"),
                             boolean(json, where, "opens")};
  }
  if (kind == "windowsDirectory") {
    object(json, where, {"kind", "path"});
    return WindowsDirectoryAnswer{stringOrNull(json, where, "path")};
  }
  if (kind == "path") {
    object(json, where, {"kind", "path", "exists"});
    return PathAnswer{stringValue(member(json, where, "path"), where + "/path"),
                      boolean(json, where, "exists")};
  }
  if (kind == "processes") {
    return parseProcesses(object(json, where, {"kind", "names", "others"}), where);
  }
  refuse(where + "/kind",
         "is " + quoted(kind) + ", not one of wmi, registryKey, windowsDirectory, path, processes");
}

Json parseJson(const std::string& text) {
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    // A syntax error, or a number out of range (out_of_range.406). what()
    // begins with "[json.exception.parse_error.101] "; the rest says it.
    const std::string message = e.what();
    const auto end = message.find("] ");
    throw FactsError("not JSON: " + (end == std::string::npos ? message : message.substr(end + 2)));
  }
}

}  // namespace

std::string toFactsText(const Facts& facts) {
  Json document = {{"format", FactsFormat},
                   {"guestwiseVersion", facts.guestwiseVersion},
                   {"report", facts.report},
                   {"answers", Json::array()}};
  for (const Answer& answer : facts.answers) {
    document["answers"].push_back(
        std::visit([](const auto& typed) { return answerJson(typed); }, answer));
  }
  return dump(document, 2);
}

Facts parseFacts(const std::string& text) {
  const Json document = parseJson(text);
  object(document, "the document", {"format", "guestwiseVersion", "report", "answers"});
  const Json& format = member(document, "the document", "format");
  if (format != FactsFormat) {
    refuse("/format", "is " + dump(format) + "; this replay reads format 1");
  }
  Facts facts;
  facts.guestwiseVersion =
      stringValue(member(document, "the document", "guestwiseVersion"), "/guestwiseVersion");
  facts.report = member(document, "the document", "report");
  if (!facts.report.is_object()) refuse("/report", "must be an object");
  facts.answers = parseAnswers(member(document, "the document", "answers"));
  return facts;
}

std::vector<Answer> parseAnswers(const Json& answers) {
  array(answers, "/answers");
  std::vector<Answer> parsed;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    parsed.push_back(parseAnswer(answers[i], "/answers/" + std::to_string(i)));
  }
  return parsed;
}

std::string describeAnswer(const Answer& answer) {
  struct Describe {
    std::string operator()(const WmiAnswer&) const { return "a WMI connection"; }
    std::string operator()(const RegistryKeyAnswer& a) const {
      return "registry key " + quoted(a.key);
    }
    std::string operator()(const WindowsDirectoryAnswer&) const { return "the Windows directory"; }
    std::string operator()(const PathAnswer& a) const { return "path " + quoted(a.path); }
    std::string operator()(const ProcessesAnswer&) const { return "the running processes"; }
  };
  return std::visit(Describe{}, answer);
}

std::string quoted(const std::string& text) {
  return dump(Json(text));
}

std::string asciiText(const wchar_t* text) {
  std::string ascii;
  for (; *text != L'\0'; ++text) {
    const auto unit = static_cast<unsigned long>(*text);
    ascii += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return ascii;
}

}  // namespace guestwise
