#include "report/json_report_writer.h"

#include <gtest/gtest.h>

namespace guestwise {
namespace {

std::string report(const std::vector<std::string>& evidence, const std::string& error = "") {
  return JsonReportWriter::toJson(false, "Unknown", 0, evidence, 0, error);
}

TEST(JsonReportWriter, WorkedExamplesByteForByte) {
  EXPECT_EQ(
      JsonReportWriter::toJson(true, "VMware", 40,
                               {"Registry key exists: HKLM\\SOFTWARE\\VMware, Inc.\\VMware Tools",
                                "VM process detected: vmtoolsd.exe"},
                               912, ""),
      "{\n"
      "  \"isVirtualMachine\": true,\n"
      "  \"vendor\": \"VMware\",\n"
      "  \"confidence\": 40,\n"
      "  \"evidence\": [\n"
      "    \"Registry key exists: HKLM\\\\SOFTWARE\\\\VMware, Inc.\\\\VMware Tools\",\n"
      "    \"VM process detected: vmtoolsd.exe\"\n"
      "  ],\n"
      "  \"detectionTimeMs\": 912,\n"
      "  \"error\": null\n"
      "}");
  EXPECT_EQ(report({}, "bad allocation"),
            "{\n"
            "  \"isVirtualMachine\": false,\n"
            "  \"vendor\": \"Unknown\",\n"
            "  \"confidence\": 0,\n"
            "  \"evidence\": [],\n"
            "  \"detectionTimeMs\": 0,\n"
            "  \"error\": \"bad allocation\"\n"
            "}");
}

TEST(JsonReportWriter, EvidenceArrayLayoutForNoneOneAndSeveralFindings) {
  EXPECT_NE(report({}).find("  \"evidence\": [],\n  \"detectionTimeMs\""), std::string::npos);
  EXPECT_NE(report({"a"}).find("  \"evidence\": [\n    \"a\"\n  ],\n"), std::string::npos);
  EXPECT_NE(
      report({"a", "b", "a"}).find("  \"evidence\": [\n    \"a\",\n    \"b\",\n    \"a\"\n  ],\n"),
      std::string::npos);
}

TEST(JsonReportWriter, ErrorIsNullOnlyWhenEmptyAndTextEndsWithBrace) {
  const std::string none = report({});
  EXPECT_NE(none.find("  \"error\": null\n}"), std::string::npos);
  EXPECT_EQ(none.back(), '}');
  EXPECT_NE(report({}, " ").find("  \"error\": \" \"\n}"), std::string::npos);
}

TEST(JsonReportWriter, EmptyVendorAndNumbersAreWrittenAsGiven) {
  const std::string text = JsonReportWriter::toJson(true, "", -5, {}, -912, "");
  EXPECT_NE(text.find("  \"vendor\": \"\",\n"), std::string::npos);
  EXPECT_NE(text.find("  \"confidence\": -5,\n"), std::string::npos);
  EXPECT_NE(text.find("  \"detectionTimeMs\": -912,\n"), std::string::npos);
  const std::string big = JsonReportWriter::toJson(false, "x", 250, {}, 9223372036854775807LL, "");
  EXPECT_NE(big.find("  \"confidence\": 250,\n"), std::string::npos);
  EXPECT_NE(big.find("  \"detectionTimeMs\": 9223372036854775807,\n"), std::string::npos);
}

TEST(JsonReportWriter, EscapingTable) {
  const auto escape = JsonReportWriter::escapeJsonString;
  EXPECT_EQ(escape("\"\\\b\f\n\r\t"), "\\\"\\\\\\b\\f\\n\\r\\t");
  EXPECT_EQ(escape("\x0b"), "\\u000b");
  EXPECT_EQ(escape("\x1b"), "\\u001b");
  EXPECT_EQ(escape("\x1f"), "\\u001f");
  EXPECT_EQ(escape("\x01"), "\\u0001");
  EXPECT_EQ(escape(std::string("a\0b", 3)), "a\\u0000b");
  EXPECT_EQ(escape("/ \x7f"), "/ \x7f");
  EXPECT_EQ(escape("caf\xc3\xa9 \xff\x80"), "caf\xc3\xa9 \xff\x80");
  EXPECT_EQ(escape(""), "");
}

TEST(JsonReportWriter, EscapesEveryQuotedField) {
  const std::string text = JsonReportWriter::toJson(false, "a\"b", 0, {"c\\d"}, 0, "e\nf");
  EXPECT_NE(text.find("\"vendor\": \"a\\\"b\""), std::string::npos);
  EXPECT_NE(text.find("\"c\\\\d\""), std::string::npos);
  EXPECT_NE(text.find("\"error\": \"e\\nf\""), std::string::npos);
}

}  // namespace
}  // namespace guestwise
