#include "report/json_report_writer.h"

#include <cstdio>
#include <string>

#include "guestwise/guestwise.h"

namespace guestwise {

std::string JsonReportWriter::toJson(bool isVirtualMachine, const std::string& vendor,
                                     std::int32_t confidence,
                                     const std::vector<std::string>& evidence,
                                     std::int64_t detectionTimeMs, const std::string& error) {
  // One growing buffer, copied out once; no iostreams, which would pull the
  // whole locale machinery into a static executable.
  std::string out;
  out += "{\n";
  out += "  \"isVirtualMachine\": ";
  out += isVirtualMachine ? "true" : "false";
  out += ",\n";
  out += "  \"vendor\": \"";
  out += escapeJsonString(vendor);
  out += "\",\n";
  out += "  \"confidence\": ";
  out += std::to_string(confidence);
  out += ",\n";
  out += "  \"evidence\": [";
  for (std::size_t i = 0; i < evidence.size(); ++i) {
    if (i > 0) out += ",";
    out += "\n    \"";
    out += escapeJsonString(evidence[i]);
    out += "\"";
  }
  if (!evidence.empty()) out += "\n  ";
  out += "],\n";
  out += "  \"detectionTimeMs\": ";
  out += std::to_string(detectionTimeMs);
  out += ",\n";
  if (error.empty()) {
    out += "  \"error\": null\n";
  } else {
    out += "  \"error\": \"";
    out += escapeJsonString(error);
    out += "\"\n";
  }
  out += "}";
  return out;
}

std::string JsonReportWriter::escapeJsonString(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size() + 10);
  for (const char c : text) {
    switch (c) {
      case '"': escaped += "\\\""; break;
      case '\\': escaped += "\\\\"; break;
      case '\b': escaped += "\\b"; break;
      case '\f': escaped += "\\f"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          escaped += buffer;
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

std::string toJson(const DetectionResult& result) {
  return JsonReportWriter::toJson(result.isVirtualMachine, result.vendor, result.confidence,
                                  result.evidence, result.detectionTimeMs, result.error);
}

}  // namespace guestwise
