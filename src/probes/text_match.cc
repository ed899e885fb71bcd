#include "probes/text_match.h"

namespace guestwise {

namespace {

char foldAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string foldAsciiCase(std::string text) {
  for (char& c : text) c = foldAsciiLetter(c);
  return text;
}

bool containsIgnoreCase(const std::string& text, const std::string& needle) {
  if (needle.empty()) return true;
  if (text.empty()) return false;
  return foldAsciiCase(text).find(foldAsciiCase(needle)) != std::string::npos;
}

bool startsWithIgnoreCase(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) return false;
  return equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return foldAsciiCase(a) == foldAsciiCase(b);
}

}  // namespace guestwise
