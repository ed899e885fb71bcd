#pragma once

#include <string>

namespace guestwise {

// Comparisons that fold only the ASCII letters A-Z; every other byte,
// UTF-8 sequences included, compares as it is. No locale is involved.
std::string foldAsciiCase(std::string text);
bool containsIgnoreCase(const std::string& text, const std::string& needle);
bool startsWithIgnoreCase(const std::string& text, const std::string& prefix);
bool equalsIgnoreCase(const std::string& a, const std::string& b);

}  // namespace guestwise
