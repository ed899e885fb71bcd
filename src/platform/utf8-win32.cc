#include "platform/utf8-win32.h"

#include "platform/windows-win32.h"

namespace guestwise {

std::string toUtf8(const wchar_t* text) {
  if (text == nullptr || text[0] == L'\0') return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  // Room for the terminating zero as well, in the string's own characters;
  // the zero is cut off afterwards.
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(size - 1));
  return utf8;
}

}  // namespace guestwise
