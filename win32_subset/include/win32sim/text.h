// UTF-8 / UTF-16 conversions for tests and tools that talk to the Win32 subset.
#pragma once

#include <string>

namespace win32sim {

std::u16string u16(const char* utf8);
std::u16string u16(const std::string& utf8);
std::string utf8(const std::u16string& text);
std::string utf8(const char16_t* text);  // null -> ""

}  // namespace win32sim
