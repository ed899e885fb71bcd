#include "probes/text_match.h"

#include <algorithm>

namespace guestwise {

namespace {

char foldAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameFolded(char a, char b) {
  return foldAsciiLetter(a) == foldAsciiLetter(b);
}

}  // namespace

std::string foldAsciiCase(std::string text) {
  for (char& c : text) c = foldAsciiLetter(c);
  return text;
}

bool containsIgnoreCase(std::string_view text, std::string_view needle) {
  // std::search finds an empty needle only in a text that is not empty, and
  // looks for a needle longer than the text all the same.
  if (needle.empty()) return true;
  if (needle.size() > text.size()) return false;
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(), sameFolded) !=
         text.end();
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return prefix.size() <= text.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), sameFolded);
}

}  // namespace guestwise
