// UTF-8 / UTF-16 conversions for tests and tools that talk to the Win32 subset.
#pragma once

#include <cstdint>
#include <string>

namespace win32sim {

std::u16string u16(const char* utf8);
std::u16string u16(const std::string& utf8);
std::string utf8(const std::u16string& text);
std::string utf8(const char16_t* text);  // null -> ""

// The arguments of a wsprintfW format, taken one at a time as its conversions ask for them:
// C varargs for the subset's own wsprintfW, an emulated caller's stack for the i686 emulator.
class FormatArguments {
 public:
  virtual ~FormatArguments() = default;
  // %c, %d, %i, %u, %x, %X: one 32-bit argument slot.
  virtual uint32_t word() = 0;
  // %s, %S (narrow when `narrow`): the text; false for a null pointer.
  virtual bool text(bool narrow, std::u16string* out) = 0;
};
// wsprintfW's formatting, at most 1023 characters.
std::u16string format_wide(const char16_t* format, FormatArguments& args);

}  // namespace win32sim
