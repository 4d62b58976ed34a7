// talvenctl: parsing of the values a station types, formatting, and the EEPROM geometry.
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "tool.h"

namespace talvenctl {

std::string hex(uint64_t value, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

std::string format_mac(const uint8_t mac[6]) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return buf;
}

std::vector<uint8_t> parse_mac(const std::string& text) {
  std::string digits;
  char separator = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if ((c == ':' || c == '-') && (separator == 0 || separator == c) && i % 3 == 2) {
      separator = c;
    } else {
      digits.clear();
      break;
    }
  }
  const bool separated_ok = separator == 0 ? text.size() == 12 : text.size() == 17;
  if (digits.size() != 12 || !separated_ok)
    throw UsageError("malformed MAC address '" + text +
                     "' (expected six hex bytes, e.g. 00:5B:A7:12:34:56)");
  std::vector<uint8_t> mac(6);
  for (size_t i = 0; i < 6; ++i)
    mac[i] = static_cast<uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  return mac;
}

std::string mac_text(uint64_t value) {
  const std::vector<uint8_t> m = u64_to_mac(value);
  return format_mac(m.data());
}

void check_unicast(const std::vector<uint8_t>& mac, const std::string& text) {
  if (mac == std::vector<uint8_t>(6, 0xFF))
    throw UsageError("broadcast address " + text + " refused");
  if ((mac[0] & 0x01) != 0) throw UsageError("multicast address " + text + " refused");
  if (mac == std::vector<uint8_t>(6, 0)) throw UsageError("all-zero address refused");
}

uint64_t mac_to_u64(const std::vector<uint8_t>& mac) {
  uint64_t v = 0;
  for (uint8_t b : mac) v = (v << 8) | b;
  return v;
}

std::vector<uint8_t> u64_to_mac(uint64_t value) {
  std::vector<uint8_t> mac(6);
  for (int i = 5; i >= 0; --i, value >>= 8) mac[size_t(i)] = static_cast<uint8_t>(value & 0xFF);
  return mac;
}

uint32_t parse_number(const std::string& text, uint32_t max, const std::string& what,
                      uint32_t min) {
  const bool is_hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = is_hex ? text.substr(2) : text;
  bool ok = !digits.empty() && digits.size() <= 10;
  for (char c : digits)
    ok = ok && (is_hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                       : std::isdigit(static_cast<unsigned char>(c)) != 0);
  unsigned long long v = ok ? std::stoull(digits, nullptr, is_hex ? 16 : 10) : 0;
  if (!ok || v > max || v < min)
    throw UsageError("bad " + what + " '" + text + "' (a number from " +
                     (min > 9 ? hex(min) : std::to_string(min)) + " to " +
                     (max > 9 ? hex(max) : std::to_string(max)) + ")");
  return static_cast<uint32_t>(v);
}

uint32_t parse_duration_ms(const std::string& text, const std::string& what, bool allow_zero) {
  size_t used = 0;
  double amount = -1;
  try {
    amount = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  const std::string unit = used > 0 ? text.substr(used) : "";
  double scale = 0;
  if (unit.empty() || unit == "s")
    scale = 1000;
  else if (unit == "ms")
    scale = 1;
  else if (unit == "m" || unit == "min")
    scale = 60000;
  else if (unit == "h")
    scale = 3600000;
  const double ms = amount * scale;
  const bool positive = allow_zero ? ms >= 0 : ms > 0;
  if (used == 0 || scale == 0 || !positive || ms > 24.0 * 3600 * 1000 ||
      !std::isdigit(static_cast<unsigned char>(text[0])))
    throw UsageError("bad " + what + " '" + text + "' (e.g. 10s, 500ms, 2m, 1h; at most 24 h)");
  return static_cast<uint32_t>(ms + 0.5);
}

std::string utc_timestamp(bool compact) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &now);
#else
  gmtime_r(&now, &tm);
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, compact ? "%Y%m%dT%H%M%SZ" : "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

void check(const char* operation, unsigned long result, const std::string& what) {
  if (result != 1)
    throw OperationError(operation, result,
                         what + ": " + operation + " returned " + std::to_string(result));
}

void progress(const Context& ctx, const std::string& text) {
  if (ctx.progress) std::cerr << "\r" << text << std::flush;
}

EepromInfo eeprom_info(Context& ctx) {
  ULONG type = ctx.eeprom_type;
  if (type == 0) check("QueryEEpromType", QueryEEpromType(ctx.adapter, &type), "EEPROM type query");
  EepromInfo info;
  info.type = type;
  if (type == 1)
    info.size = 128;
  else if (type == 2)
    info.size = 256;
  else
    throw OperationError("QueryEEpromType", 1,
                         "the adapter reports EEPROM type " + std::to_string(type) +
                             ", which is neither 1 (128 bytes) nor 2 (256 bytes)");
  ctx.eeprom_type = type;
  return info;
}

std::vector<uint8_t> read_image(Context& ctx, const EepromInfo& info) {
  std::vector<uint8_t> image(info.size, 0);
  progress(ctx, "reading EEPROM (" + std::to_string(info.size) + " bytes)...");
  const ULONG r = ReadEEprom(ctx.adapter, image.data(), info.type);
  progress(ctx, "");
  if (ctx.progress) std::cerr << "\r";
  check("ReadEEprom", r, "EEPROM read");
  return image;
}

}  // namespace talvenctl
