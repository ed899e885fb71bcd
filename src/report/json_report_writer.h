#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guestwise {

// Writes the report in its one fixed layout: one key per line, keys always
// present and in the same order, so that readers may rely on the bytes.
class JsonReportWriter {
 public:
  static std::string toJson(bool isVirtualMachine, const std::string& vendor,
                            std::int32_t confidence, const std::vector<std::string>& evidence,
                            std::int64_t detectionTimeMs, const std::string& error);
  // Escapes byte by byte; bytes from 0x7F up pass unchanged, so UTF-8 stays
  // UTF-8. Adds no surrounding quotes.
  static std::string escapeJsonString(const std::string& text);
};

}  // namespace guestwise
