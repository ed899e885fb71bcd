#pragma once

#include <string>

namespace guestwise {

// UTF-16 to UTF-8, up to the first zero character; null gives "".
std::string toUtf8(const wchar_t* text);

}  // namespace guestwise
