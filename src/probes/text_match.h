#pragma once

#include <string>
#include <string_view>

namespace guestwise {

// Comparisons that fold only the ASCII letters A-Z; every other byte,
// UTF-8 sequences included, compares as it is. No locale is involved, and
// none but foldAsciiCase copies a text: they run for every table key.
std::string foldAsciiCase(std::string text);
bool containsIgnoreCase(std::string_view text, std::string_view needle);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace guestwise
