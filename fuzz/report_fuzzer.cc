// Arbitrary bytes in every text field and arbitrary numbers: the report must
// never let a control byte, quote or backslash stand unescaped in a string,
// and whenever the texts are valid UTF-8 a real JSON parser must accept it
// and give every field back exactly.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "report/json_report_writer.h"

namespace {

using guestwise::JsonReportWriter;

void require(bool condition) {
  if (!condition) std::abort();
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Walks the JSON text and checks each string literal: no raw byte below
// 0x20, and a backslash only as one of the writer's escapes.
void requireWellEscapedStrings(const std::string& text) {
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!inString) {
      if (c == '"') inString = true;
      continue;
    }
    require(c >= 0x20);
    if (c == '"') {
      inString = false;
    } else if (c == '\\') {
      require(i + 1 < text.size());
      const char next = text[++i];
      if (next == 'u') {
        require(i + 4 < text.size() && text.compare(i + 1, 2, "00") == 0 && isHex(text[i + 3]) &&
                isHex(text[i + 4]));
        i += 4;
      } else {
        require(std::string("\"\\bfnrt").find(next) != std::string::npos);
      }
    }
  }
  require(!inString);
}

// Well-formed UTF-8 as RFC 3629 defines it (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool isValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > n || s[i + 1] < low || s[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool isVirtualMachine = input.ConsumeBool();
  const auto confidence = input.ConsumeIntegral<std::int32_t>();
  const auto detectionTimeMs = input.ConsumeIntegral<std::int64_t>();
  const std::string vendor = input.ConsumeRandomLengthString(64);
  const std::string error = input.ConsumeRandomLengthString(64);
  std::vector<std::string> evidence(input.ConsumeIntegralInRange<std::size_t>(0, 12));
  for (std::string& line : evidence) line = input.ConsumeRandomLengthString(128);

  const std::string report = JsonReportWriter::toJson(isVirtualMachine, vendor, confidence,
                                                      evidence, detectionTimeMs, error);
  requireWellEscapedStrings(report);

  bool allUtf8 = isValidUtf8(vendor) && isValidUtf8(error);
  for (const std::string& line : evidence) allUtf8 = allUtf8 && isValidUtf8(line);
  if (!allUtf8) return 0;

  const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(report);
  require(parsed.size() == 6);
  require(parsed["isVirtualMachine"].get<bool>() == isVirtualMachine);
  require(parsed["vendor"].get<std::string>() == vendor);
  require(parsed["confidence"].get<std::int32_t>() == confidence);
  require(parsed["evidence"].get<std::vector<std::string>>() == evidence);
  require(parsed["detectionTimeMs"].get<std::int64_t>() == detectionTimeMs);
  if (error.empty()) {
    require(parsed["error"].is_null());
  } else {
    require(parsed["error"].get<std::string>() == error);
  }
  return 0;
}
