// Text functions: wsprintfW, lstrlenW, debug output capture, message boxes, and the UTF-8 /
// UTF-16 conversions of the control API.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "state.h"
#include "win32sim/text.h"

namespace win32sim {

std::u16string u16(const char* text) {
  std::u16string out;
  if (text == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t c = *p++;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra > 0) c &= 0x3F >> extra;
    for (; extra > 0 && (*p & 0xC0) == 0x80; --extra) c = (c << 6) | (*p++ & 0x3F);
    if (extra > 0) c = 0xFFFD;  // truncated sequence
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(char16_t(0xD800 + (c >> 10)));
      out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
  }
  return out;
}

std::u16string u16(const std::string& text) {
  return u16(text.c_str());
}

std::string utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // unpaired surrogate
    }
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | (c >> 12)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (c >> 18)));
      out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string utf8(const char16_t* text) {
  return text == nullptr ? std::string() : utf8(std::u16string(text));
}

using detail::machine;
using detail::State;

std::vector<std::u16string> debug_strings() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.debug_strings;
}

std::vector<std::string> debug_strings_utf8() {
  std::vector<std::string> out;
  for (const auto& text : debug_strings()) out.push_back(utf8(text));
  return out;
}

void clear_debug_strings() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.debug_strings.clear();
}

std::vector<MessageBoxCall> message_boxes() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.message_boxes;
}

void clear_message_boxes() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.message_boxes.clear();
}

namespace detail {
namespace {

// wsprintfW writes at most this many characters, the terminating NUL included.
constexpr size_t kFormatLimit = 1024;

struct Conversion {
  bool left = false, zero = false, alternate = false;
  size_t width = 0;
  bool has_precision = false;
  size_t precision = 0;
  char size = 0;  // 'l', 'h' or 0
};

void pad_and_append(std::u16string& out, const Conversion& conv, const std::u16string& prefix,
                    const std::u16string& body, bool zero_pad) {
  const size_t length = prefix.size() + body.size();
  const size_t fill = conv.width > length ? conv.width - length : 0;
  if (conv.left) {
    out += prefix + body;
    out.append(fill, u' ');
  } else if (zero_pad) {
    out += prefix;
    out.append(fill, u'0');
    out += body;
  } else {
    out.append(fill, u' ');
    out += prefix + body;
  }
}

std::u16string digits(uint64_t value, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), char16_t(set[value % base]));
    value /= base;
  } while (value != 0);
  return text;
}

std::u16string format(const char16_t* fmt, FormatArguments& args) {
  std::u16string out;
  for (const char16_t* p = fmt; *p != 0 && out.size() < kFormatLimit; ++p) {
    if (*p != u'%') {
      out.push_back(*p);
      continue;
    }
    ++p;
    Conversion conv;
    for (;; ++p) {
      if (*p == u'-') {
        conv.left = true;
      } else if (*p == u'0') {
        conv.zero = true;
      } else if (*p == u'#') {
        conv.alternate = true;
      } else {
        break;
      }
    }
    for (; *p >= u'0' && *p <= u'9'; ++p) conv.width = conv.width * 10 + (*p - u'0');
    if (*p == u'.') {
      conv.has_precision = true;
      for (++p; *p >= u'0' && *p <= u'9'; ++p) conv.precision = conv.precision * 10 + (*p - u'0');
    }
    if (*p == u'l' || *p == u'L' || *p == u'h' || *p == u'H') conv.size = char(*p++ | 0x20);
    if (*p == 0) break;
    switch (*p) {
      case u'%':
        out.push_back(u'%');
        break;
      case u'c': {
        const int c = int(args.word());
        std::u16string body(
            1, conv.size == 'h' ? char16_t(static_cast<unsigned char>(c)) : char16_t(c));
        pad_and_append(out, conv, u"", body, false);
        break;
      }
      case u's':
      case u'S': {
        std::u16string body;
        const bool narrow = (*p == u's') == (conv.size == 'h');
        if (!args.text(narrow, &body)) body = u"(null)";
        if (conv.has_precision && body.size() > conv.precision) body.resize(conv.precision);
        pad_and_append(out, conv, u"", body, false);
        break;
      }
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X': {
        // Integer arguments are 32 bits wide ('l' included, as long is on Windows).
        const uint32_t raw = args.word();
        const bool is_signed = *p == u'd' || *p == u'i';
        uint64_t magnitude = raw;
        std::u16string prefix;
        if (conv.size == 'h') magnitude = is_signed ? uint64_t(int16_t(raw)) : uint16_t(raw);
        if (is_signed) {
          const int64_t v = conv.size == 'h' ? int16_t(raw) : int32_t(raw);
          if (v < 0) prefix = u"-";
          magnitude = v < 0 ? uint64_t(-v) : uint64_t(v);
        }
        const bool hex = *p == u'x' || *p == u'X';
        std::u16string body = digits(magnitude, hex ? 16 : 10, *p == u'X');
        if (conv.has_precision && body.size() < conv.precision)
          body.insert(0, conv.precision - body.size(), u'0');
        if (hex && conv.alternate && magnitude != 0) prefix = *p == u'X' ? u"0X" : u"0x";
        pad_and_append(out, conv, prefix, body, conv.zero && !conv.left);
        break;
      }
      default:  // unknown conversions print their character
        out.push_back(*p);
        break;
    }
  }
  if (out.size() > kFormatLimit - 1) out.resize(kFormatLimit - 1);
  return out;
}

// The C varargs of wsprintfW.
class VaArguments : public FormatArguments {
 public:
  explicit VaArguments(va_list args) { va_copy(args_, args); }
  ~VaArguments() override { va_end(args_); }
  uint32_t word() override { return va_arg(args_, uint32_t); }
  bool text(bool narrow, std::u16string* out) override {
    if (narrow) {
      const char* text = va_arg(args_, const char*);
      if (text != nullptr) *out = u16(text);
      return text != nullptr;
    }
    const char16_t* text = va_arg(args_, const char16_t*);
    if (text != nullptr) *out = text;
    return text != nullptr;
  }

 private:
  va_list args_;
};

}  // namespace
}  // namespace detail

std::u16string format_wide(const char16_t* format, FormatArguments& args) {
  return detail::format(format, args);
}

}  // namespace win32sim

using win32sim::detail::machine;
using win32sim::detail::State;

extern "C" int WINAPI lstrlenW(LPCWSTR lpString) {
  if (lpString == nullptr) return 0;
  int n = 0;
  while (lpString[n] != 0) ++n;
  return n;
}

extern "C" int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  if (buffer == nullptr || format == nullptr) return 0;
  std::u16string text;
  va_list args;
  va_start(args, format);
  try {
    win32sim::detail::VaArguments arguments(args);
    text = win32sim::format_wide(format, arguments);
  } catch (...) {
    text.clear();
  }
  va_end(args);
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return static_cast<int>(text.size());
}

extern "C" VOID WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  win32sim::detail::count_kernel_call();
  if (lpOutputString == nullptr) return;
  try {
    std::u16string text(lpOutputString);
    const char* echo = std::getenv("TALVEN_DEBUG_ECHO");
    State& s = machine();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (echo != nullptr && *echo != 0) std::fputs(win32sim::utf8(text).c_str(), stderr);
    s.debug_strings.push_back(std::move(text));
  } catch (...) {
  }
}

extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  win32sim::detail::count_kernel_call();
  try {
    State& s = machine();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.message_boxes.push_back(
        {hWnd, lpText != nullptr ? lpText : u"", lpCaption != nullptr ? lpCaption : u"", uType});
  } catch (...) {
    win32sim::detail::set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return IDOK;
}
