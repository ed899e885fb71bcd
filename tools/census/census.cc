#include "census.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

#include "probes/probe_rules.h"

namespace guestwise::census {

namespace {

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

std::uint64_t machineCount(const std::string& field, const std::string& where) {
  std::uint64_t count = 0;
  const char* end = field.data() + field.size();
  const auto [stop, fault] = std::from_chars(field.data(), end, count);
  if (fault != std::errc() || stop != end || count == 0) {
    throw InputError(where + "the count \"" + field + "\" is not a whole number from 1");
  }
  return count;
}

Identity parseIdentity(std::string line, const std::string& where) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::vector<std::string> fields = splitFields(line);
  if (fields.size() != 5 && fields.size() != 6) {
    throw InputError(where + std::to_string(fields.size()) +
                     (fields.size() == 1 ? " field" : " tab-separated fields") +
                     "; an identity has 5, or 6 with the count first");
  }
  Identity identity;
  if (fields.size() == 6) identity.machines = machineCount(fields[0], where);
  const std::size_t first = fields.size() - 5;
  identity.systemManufacturer = std::move(fields[first]);
  identity.systemProduct = std::move(fields[first + 1]);
  identity.biosVendor = std::move(fields[first + 2]);
  identity.boardManufacturer = std::move(fields[first + 3]);
  identity.boardProduct = std::move(fields[first + 4]);
  return identity;
}

Json wmiAnswer(const wchar_t* query, Json row) {
  return {{"kind", "wmi"},
          {"connected", true},
          {"query", asciiText(query)},
          {"rows", Json::array({row})}};
}

// Puts another identity's texts into answers that identityAnswers made. In
// place: a new document for every identity would cost the census a third
// of its time.
void refillAnswers(Json& answers, const Identity& identity) {
  const auto text = [&](std::size_t answer, const char* property) -> std::string& {
    return answers[answer]["rows"][0][property].get_ref<std::string&>();
  };
  text(0, "Manufacturer") = identity.systemManufacturer;
  text(0, "Model") = identity.systemProduct;
  text(1, "Manufacturer") = identity.biosVendor;
  text(2, "Manufacturer") = identity.boardManufacturer;
  text(2, "Product") = identity.boardProduct;
}

// Evidence, vendor, confidence: what a family has in common.
using FamilyKey = std::tuple<std::vector<std::string>, std::string, std::int32_t>;

std::vector<Family> mostMachinesFirst(const std::map<FamilyKey, std::uint64_t>& groups) {
  std::vector<Family> families;
  for (const auto& [key, machines] : groups) {
    families.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), machines});
  }
  // The map has already ordered them by evidence.
  std::stable_sort(families.begin(), families.end(),
                   [](const Family& a, const Family& b) { return a.machines > b.machines; });
  return families;
}

std::string counted(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string familiesText(const std::vector<Family>& families) {
  std::string text;
  for (const Family& family : families) {
    text += "\n" + counted(family.machines, "machine", "machines") + ": " + family.vendor +
            ", confidence " + std::to_string(family.confidence) + "\n";
    for (const std::string& line : family.evidence) text += "  " + line + "\n";
  }
  return text;
}

Json familiesJson(const std::vector<Family>& families) {
  Json list = Json::array();
  for (const Family& family : families) {
    list.push_back({{"machines", family.machines},
                    {"vendor", family.vendor},
                    {"confidence", family.confidence},
                    {"evidence", family.evidence}});
  }
  return list;
}

std::string share(std::uint64_t part, std::uint64_t whole) {
  if (part == 0) return "none";
  char text[64];
  const double ratio = static_cast<double>(part) / static_cast<double>(whole);
  std::snprintf(text, sizeof text, "%.2f %%, 1 in %.0f", 100 * ratio, std::round(1 / ratio));
  return text;
}

}  // namespace

std::vector<Identity> parseIdentities(const std::string& text) {
  std::vector<Identity> identities;
  std::size_t number = 1;
  for (std::size_t start = 0; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    identities.push_back(
        parseIdentity(text.substr(start, end - start), "line " + std::to_string(number) + ": "));
    start = end + 1;
  }
  return identities;
}

Json identityAnswers(const Identity& identity) {
  // Each row holds the properties in the order the probe reads them.
  return Json::array(
      {wmiAnswer(ComputerSystemQuery, {{"Manufacturer", identity.systemManufacturer},
                                       {"Model", identity.systemProduct}}),
       wmiAnswer(BiosQuery,
                 {{"Manufacturer", identity.biosVendor}, {"SerialNumber", ""}, {"Version", ""}}),
       wmiAnswer(BaseBoardQuery, {{"Manufacturer", identity.boardManufacturer},
                                  {"Product", identity.boardProduct}})});
}

Census takeCensus(const std::vector<Identity>& identities) {
  Census census;
  std::map<FamilyKey, std::uint64_t> virtualMachines, belowVerdict;
  Json answers = identityAnswers({});
  for (const Identity& identity : identities) {
    census.machines += identity.machines;
    ++census.identities;
    refillAnswers(answers, identity);
    DetectionResult result = detectOverAnswers(answers);
    if (!result.error.empty()) throw std::runtime_error(result.error);
    if (result.evidence.empty()) continue;
    FamilyKey key{std::move(result.evidence), result.vendor, result.confidence};
    if (result.isVirtualMachine) {
      census.virtualMachines += identity.machines;
      virtualMachines[std::move(key)] += identity.machines;
    } else {
      belowVerdict[std::move(key)] += identity.machines;
    }
  }
  census.families = mostMachinesFirst(virtualMachines);
  census.belowVerdict = mostMachinesFirst(belowVerdict);
  return census;
}

std::string censusText(const Census& census) {
  std::string text = counted(census.machines, "machine", "machines") + ", " +
                     counted(census.identities, "identity", "identities") + "\n" +
                     std::to_string(census.virtualMachines) +
                     " called a virtual machine by their identity alone (" +
                     share(census.virtualMachines, census.machines) + ")\n";
  if (!census.families.empty()) {
    text += "\nCalled a virtual machine, most machines first:\n" + familiesText(census.families);
  }
  if (!census.belowVerdict.empty()) {
    text += "\nFindings under the verdict's score, most machines first:\n" +
            familiesText(census.belowVerdict);
  }
  return text;
}

Json censusJson(const Census& census) {
  return {{"machines", census.machines},
          {"identities", census.identities},
          {"virtualMachines", census.virtualMachines},
          {"families", familiesJson(census.families)},
          {"belowVerdict", familiesJson(census.belowVerdict)}};
}

}  // namespace guestwise::census
