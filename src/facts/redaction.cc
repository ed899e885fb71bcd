#include "facts/redaction.h"

#include "detect/signature_tables.h"
#include "probes/text_match.h"

namespace guestwise {

namespace {

constexpr std::size_t MacPrefixLength = 8;  // "00:15:5D", all the adapter probe reads

std::string redactedMac(std::string mac) {
  for (std::size_t i = MacPrefixLength; i < mac.size(); ++i) mac[i] = 'x';
  return mac;
}

// The BIOS probe matches the serial number by its "VMware-" prefix and by the
// keywords it may contain; nothing else about it counts. An empty one has
// nothing to hide.
std::string redactedSerialNumber(const std::string& serial) {
  if (serial.empty() || startsWithIgnoreCase(serial, "VMware-")) return serial;
  for (const auto& entry : VendorKeywordSignatures) {
    if (containsIgnoreCase(serial, entry.first)) return serial;
  }
  return RedactedText;
}

bool isListedProcess(const std::string& name) {
  for (const auto& entry : ProcessSignatures) {
    if (equalsIgnoreCase(name, entry.first)) return true;
  }
  return false;
}

void redact(WmiAnswer& answer) {
  if (!answer.rows) return;
  for (WmiRowFacts& row : *answer.rows) {
    for (auto& [name, value] : row) {
      if (name == "MACAddress") value = redactedMac(value);
      if (name == "SerialNumber") value = redactedSerialNumber(value);
    }
  }
}

void redact(ProcessesAnswer& answer) {
  if (!answer.names) return;
  std::vector<std::string> listed;
  for (std::string& name : *answer.names) {
    if (isListedProcess(name)) {
      listed.push_back(std::move(name));
    } else {
      ++answer.others;
    }
  }
  answer.names = std::move(listed);
}

template <class T>
void redact(T&) {}

}  // namespace

std::vector<Answer> redactedAnswers(std::vector<Answer> answers) {
  for (Answer& answer : answers) {
    std::visit([](auto& typed) { redact(typed); }, answer);
  }
  return answers;
}

}  // namespace guestwise
