// talvenctl: EEPROM dump, diff, get/set and safe load; the power-control table; the ids.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

#include "tool.h"

namespace talvenctl {
namespace {

std::string hex_dump(const std::vector<uint8_t>& image) {
  std::string out;
  char buf[24];
  for (size_t row = 0; row < image.size(); row += 16) {
    std::snprintf(buf, sizeof buf, "%02zX:", row);
    out += buf;
    for (size_t i = row; i < row + 16 && i < image.size(); ++i) {
      std::snprintf(buf, sizeof buf, " %02X", image[i]);
      out += buf;
    }
    out += "\n";
  }
  return out;
}

std::string hex_string(const std::vector<uint8_t>& bytes) {
  std::string s;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    s += buf;
  }
  return s;
}

bool parse_hex_string(const std::string& s, std::vector<uint8_t>* out) {
  if (s.size() % 2 != 0) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2)
    out->push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return true;
}

// Our hex dump ("00: 29 80 ..."), one row of up to 16 bytes a line, rows in order.
bool parse_hex_dump(const std::string& text, std::vector<uint8_t>* out) {
  std::istringstream in(text);
  std::string line;
  out->clear();
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    std::vector<uint8_t> offset;
    std::string head = line.substr(0, colon);
    if (head.size() % 2) head = "0" + head;
    if (!parse_hex_string(head, &offset) || offset.empty()) return false;
    uint32_t at = 0;
    for (uint8_t b : offset) at = at << 8 | b;
    if (at != out->size()) return false;
    std::istringstream bytes(line.substr(colon + 1));
    std::string item;
    while (bytes >> item) {
      std::vector<uint8_t> b;
      if (item.size() != 2 || !parse_hex_string(item, &b)) return false;
      out->push_back(b[0]);
    }
  }
  return !out->empty();
}

// Reads an image file: our JSON dump, our hex dump, or raw bytes; throws UsageError when it
// is not an image or not of the adapter's size.
std::vector<uint8_t> read_image_file(const std::string& path, uint32_t expected) {
  std::vector<uint8_t> raw;
  if (!read_file(path, &raw)) throw UsageError("cannot read " + path);
  std::vector<uint8_t> image;
  const std::string text(raw.begin(), raw.end());
  const size_t first = text.find_first_not_of(" \t\r\n");
  bool parsed = false;
  if (first != std::string::npos && text[first] == '{') {
    const json j = json::parse(text, nullptr, false);
    parsed = !j.is_discarded() && j.is_object() && j.contains("image") && j["image"].is_string() &&
             parse_hex_string(j["image"].get<std::string>(), &image);
    if (!parsed) throw UsageError(path + " is not an EEPROM image (JSON without a hex \"image\")");
  } else if (raw.size() != 128 && raw.size() != 256 && parse_hex_dump(text, &image)) {
    parsed = true;
  } else {
    image = raw;
    if (raw.size() != 128 && raw.size() != 256)
      throw UsageError(path + " is not an EEPROM image: " + std::to_string(raw.size()) +
                       " bytes, neither a hex or JSON dump nor 128 or 256 raw bytes");
  }
  if (image.size() != expected)
    throw UsageError(path + " holds " + std::to_string(image.size()) +
                     " bytes; the adapter's EEPROM holds " + std::to_string(expected));
  return image;
}

uint32_t word_at(const std::vector<uint8_t>& image, size_t offset) {
  return uint32_t(image[offset]) | uint32_t(image[offset + 1]) << 8;
}

// The words in which two images differ.
json differing_words(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                     const char* a_name, const char* b_name) {
  json list = json::array();
  for (size_t off = 0; off + 1 < a.size() && off + 1 < b.size(); off += 2)
    if (word_at(a, off) != word_at(b, off))
      list.push_back({{"offset", off}, {a_name, word_at(a, off)}, {b_name, word_at(b, off)}});
  return list;
}

uint32_t parse_offset(const std::string& text, const EepromInfo& info, bool word) {
  const uint32_t offset = parse_number(text, 0xFFFFFFFFu, "EEPROM offset");
  if (offset + (word ? 1u : 0u) >= info.size)
    throw UsageError("EEPROM offset " + text + " is past the end of the " +
                     std::to_string(info.size) + "-byte EEPROM");
  if (word && offset % 2 != 0) throw UsageError("a word offset must be even, got " + text);
  return offset;
}

UCHAR read_byte(Context& ctx, uint32_t offset) {
  UCHAR v = 0;
  check("ReadEEpromByte", ReadEEpromByte(ctx.adapter, offset, &v),
        "EEPROM read at " + hex(offset, 2));
  return v;
}

// The EEPROM bytes that make a board itself: its MAC address (offsets 14 to 19). The vendor and
// device ids (offsets 2 to 5) name the product, not the board, and come from the image.
constexpr uint32_t kMacOffset = 14, kMacLength = 6;

std::vector<uint8_t> load_image_checked(Context& ctx, const std::string& file) {
  const EepromInfo info = eeprom_info(ctx);
  return read_image_file(file, info.size);
}

}  // namespace

void check_eeprom_dump(Context& ctx, const EepromDumpOptions& o) {
  if (o.format != "hex" && o.format != "bin" && o.format != "json")
    throw UsageError("unknown dump format " + o.format + " (hex, bin or json)");
  if (o.format == "bin" && o.file.empty() && !ctx.json_output && stdout_is_terminal())
    throw UsageError("a binary dump is not written to a terminal: give --file or redirect it");
}

Report cmd_eeprom_dump(Context& ctx, const EepromDumpOptions& o) {
  check_eeprom_dump(ctx, o);
  const EepromInfo info = eeprom_info(ctx);
  const std::vector<uint8_t> image = read_image(ctx, info);
  std::string content;
  if (o.format == "hex") content = hex_dump(image);
  if (o.format == "bin") content.assign(image.begin(), image.end());
  if (o.format == "json")
    content =
        json({{"type", info.type}, {"size", info.size}, {"image", hex_string(image)}}).dump(2) +
        "\n";
  Report rep;
  rep.data = {{"type", info.type}, {"size", info.size}};
  if (!o.file.empty()) {
    write_file_durable(o.file, std::vector<uint8_t>(content.begin(), content.end()));
    rep.data["file"] = o.file;
    rep.data["format"] = o.format;
    rep.line("EEPROM (" + std::to_string(info.size) + " bytes) written to " + o.file);
  } else if (ctx.json_output) {
    rep.data["image"] = hex_string(image);
  } else if (o.format == "bin") {
    rep.raw = content;
  } else {
    rep.text = content;
  }
  return rep;
}

void check_eeprom_diff(Context& ctx, const EepromDiffOptions& o) {
  if (!ctx.written_by_recipe(o.file)) load_image_checked(ctx, o.file);
}

Report cmd_eeprom_diff(Context& ctx, const EepromDiffOptions& o) {
  const std::vector<uint8_t> image = load_image_checked(ctx, o.file);
  const std::vector<uint8_t> current = read_image(ctx, eeprom_info(ctx));
  Report rep;
  const json diff = differing_words(current, image, "eeprom", "file");
  rep.data = {{"file", o.file}, {"identical", diff.empty()}, {"differences", diff}};
  for (const json& d : diff)
    rep.line("word " + hex(d["offset"].get<uint32_t>(), 2) + ": EEPROM " +
             hex(d["eeprom"].get<uint32_t>(), 4) + ", file " + hex(d["file"].get<uint32_t>(), 4));
  rep.line(diff.empty() ? "EEPROM and " + o.file + " are identical"
                        : std::to_string(diff.size()) + " word(s) differ");
  rep.status = diff.empty() ? kExitOk : kExitFailed;  // as diff(1): 1 when they differ
  return rep;
}

void check_eeprom_get(Context& ctx, const EepromGetOptions& o) {
  parse_offset(o.offset, eeprom_info(ctx), o.word);
}

Report cmd_eeprom_get(Context& ctx, const EepromGetOptions& o) {
  const uint32_t offset = parse_offset(o.offset, eeprom_info(ctx), o.word);
  uint32_t value = read_byte(ctx, offset);
  if (o.word) value |= uint32_t(read_byte(ctx, offset + 1)) << 8;
  Report rep;
  rep.data = {{"offset", offset}, {"width", o.word ? 2 : 1}, {"value", value}};
  rep.line(hex(offset, 2) + ": " + hex(value, o.word ? 4 : 2));
  return rep;
}

void check_eeprom_set(Context& ctx, const EepromSetOptions& o) {
  parse_offset(o.offset, eeprom_info(ctx), o.word);
  parse_number(o.value, o.word ? 0xFFFFu : 0xFFu, "EEPROM value");
}

Report cmd_eeprom_set(Context& ctx, const EepromSetOptions& o) {
  check_eeprom_set(ctx, o);
  const uint32_t offset = parse_offset(o.offset, eeprom_info(ctx), o.word);
  const uint32_t value = parse_number(o.value, o.word ? 0xFFFFu : 0xFFu, "EEPROM value");
  const int bytes = o.word ? 2 : 1;
  for (int i = 0; i < bytes; ++i)
    check("WriteEEpromByte", WriteEEpromByte(ctx.adapter, offset + i, (value >> (8 * i)) & 0xFF),
          "EEPROM write at " + hex(offset + i, 2));
  uint32_t back = 0;
  for (int i = 0; i < bytes; ++i) back |= uint32_t(read_byte(ctx, offset + i)) << (8 * i);
  if (back != value)
    throw OperationError(
        "ReadEEpromByte", 1,
        "verify failed: " + hex(offset, 2) + " holds " + hex(back) + ", not " + hex(value),
        {{"offset", offset}, {"expected", value}, {"actual", back}});
  Report rep;
  rep.data = {{"offset", offset}, {"width", bytes}, {"value", value}, {"verified", true}};
  rep.line(hex(offset, 2) + " <- " + hex(value, 2 * bytes) + " (verified)");
  return rep;
}

void check_eeprom_load(Context& ctx, const EepromLoadOptions& o) {
  if (!ctx.written_by_recipe(o.file)) load_image_checked(ctx, o.file);
  if (!o.no_backup && file_exists(o.backup_dir) && !is_directory(o.backup_dir))
    throw UsageError("--backup-dir " + o.backup_dir + " is not a folder");
}

Report cmd_eeprom_load(Context& ctx, const EepromLoadOptions& o) {
  check_eeprom_load(ctx, o);
  const EepromInfo info = eeprom_info(ctx);
  std::vector<uint8_t> image = load_image_checked(ctx, o.file);
  const std::vector<uint8_t> before = read_image(ctx, info);
  Report rep;
  // The board keeps its own MAC address unless the image's is asked for: an image dumped from
  // one board must not give its address to the next.
  const std::vector<uint8_t> image_mac(image.begin() + kMacOffset,
                                       image.begin() + kMacOffset + kMacLength);
  const std::vector<uint8_t> board_mac(before.begin() + kMacOffset,
                                       before.begin() + kMacOffset + kMacLength);
  if (!o.with_identity)
    std::copy(board_mac.begin(), board_mac.end(), image.begin() + kMacOffset);
  else if (image_mac != board_mac)
    std::cerr << "talvenctl eeprom load: --with-identity: the image's MAC address "
              << format_mac(image_mac.data()) << " replaces the board's "
              << format_mac(board_mac.data()) << "\n";
  std::string backup;
  if (!o.no_backup) {
    try {
      make_directories(o.backup_dir);
      backup = write_new_file_durable(o.backup_dir, "eeprom-backup-" + utc_timestamp(true), ".bin",
                                      before);
    } catch (const std::exception& e) {
      throw UsageError(std::string("no backup, nothing written: ") + e.what());
    }
    rep.line("backup of the current EEPROM: " + backup);
  }
  const json plan = differing_words(before, image, "before", "image");
  test_abort_point("load-after-backup");

  // Write: the whole image in one call, or only the bytes of the words that differ.
  const char* op = o.changed_only ? "WriteEEpromByte" : "WriteEEprom";
  ULONG result = 1;
  size_t words_written = 0;
  int64_t failed_word = -1;  // --changed-only: the word whose write failed
  if (o.changed_only) {
    for (size_t i = 0; i < plan.size() && result == 1; ++i) {
      const uint32_t off = plan[i]["offset"].get<uint32_t>();
      for (uint32_t b = off; b < off + 2 && result == 1; ++b)
        if (before[b] != image[b]) result = WriteEEpromByte(ctx.adapter, b, image[b]);
      if (result == 1)
        ++words_written;
      else
        failed_word = off;
      progress(ctx,
               "writing EEPROM: word " + std::to_string(i + 1) + "/" + std::to_string(plan.size()));
    }
  } else {
    progress(ctx, "writing EEPROM (" + std::to_string(info.size) + " bytes)...");
    result = WriteEEprom(ctx.adapter, image.data(), info.type);
    words_written = result == 1 ? info.size / 2 : 0;
  }
  if (ctx.progress) std::cerr << "\r\n";
  test_abort_point("load-after-write");

  // Verify by reading back, byte by byte where a whole read fails.
  std::vector<uint8_t> after(info.size, 0);
  std::vector<bool> unreadable(info.size, false);
  ULONG read_result = ReadEEprom(ctx.adapter, after.data(), info.type);
  if (read_result != 1)
    for (uint32_t b = 0; b < info.size; ++b) {
      UCHAR v = 0;
      unreadable[b] = ReadEEpromByte(ctx.adapter, b, &v) != 1;
      after[b] = v;
    }
  json mismatches = json::array();
  for (uint32_t off = 0; off < info.size; off += 2) {
    const bool lost = unreadable[off] || unreadable[off + 1];
    if (!lost && word_at(after, off) == word_at(image, off)) continue;
    json m = {{"offset", off}, {"image", word_at(image, off)}, {"backup", word_at(before, off)}};
    m["holds"] = lost ? json(nullptr) : json(word_at(after, off));
    mismatches.push_back(m);
  }
  rep.data = {{"file", o.file},
              {"backup", backup.empty() ? json(nullptr) : json(backup)},
              {"mode", o.changed_only ? "changed" : "all"},
              {"identity", o.with_identity ? "image" : "kept"},
              {"mac", format_mac(image.data() + kMacOffset)},
              {"words_differing_before", plan.size()},
              {"verified", mismatches.empty()}};
  if (result != 1 || !mismatches.empty()) {
    std::string msg = "eeprom load failed";
    msg += result != 1 ? ": " + std::string(op) + " returned " + std::to_string(result) : "";
    if (failed_word >= 0) msg += " writing word " + hex(uint64_t(failed_word), 2);
    msg += read_result != 1 ? "; ReadEEprom failed, read back byte by byte" : "";
    if (mismatches.empty()) {
      msg +=
          "; read back, every word holds what the image wants (the write that failed was of "
          "a word that already held its value)";
    } else {
      msg += "; " + std::to_string(mismatches.size()) + " word(s) differ from the image:";
    }
    for (const json& m : mismatches)
      msg += "\n  word " + hex(m["offset"].get<uint32_t>(), 2) + " holds " +
             (m["holds"].is_null() ? std::string("(unreadable)")
                                   : hex(m["holds"].get<uint32_t>(), 4)) +
             ", image " + hex(m["image"].get<uint32_t>(), 4) + ", backup " +
             hex(m["backup"].get<uint32_t>(), 4) +
             (int64_t(m["offset"].get<uint32_t>()) == failed_word ? " (its write failed)" : "");
    msg += backup.empty() ? "\n  (no backup was made)" : "\n  backup kept: " + backup;
    json details = rep.data;
    details["mismatches"] = mismatches;
    if (failed_word >= 0) details["failed_word"] = failed_word;
    throw OperationError(result != 1 ? op : "ReadEEprom", result != 1 ? result : read_result, msg,
                         details);
  }
  rep.data["words_written"] = words_written;
  rep.line("loaded " + o.file + ": " + std::to_string(words_written) + " word(s) written, " +
           std::to_string(plan.size()) + " differed; MAC address " +
           (o.with_identity ? "from the image " : "kept ") + format_mac(image.data() + kMacOffset) +
           "; read back and verified");
  return rep;
}

// ---- power-control table ----
namespace {

constexpr uint32_t k5GHz[] = {36, 40, 44, 48, 52, 56, 60, 64, 149, 153, 157, 161};

// Buffer byte of a 5 GHz channel's entry: 14 + its position in the adapter's channel list.
size_t five_ghz_byte(uint32_t ch) {
  if (ch <= 86) return 14 + (ch - 26) / 2;
  if (ch <= 140) return 14 + 31 + (ch - 100) / 4;
  return 14 + 42 + (ch - 149) / 4;
}

std::vector<UCHAR> read_table(Context& ctx) {
  std::vector<UCHAR> t(TALVEN_POWER_TABLE_LENGTH, 0);
  check("ReadPowerControl", ReadPowerControl(ctx.adapter, t.data(), LONG(t.size())),
        "power table read");
  return t;
}

json table_json(const std::vector<UCHAR>& t) {
  json low = json::array(), high = json::array();
  for (uint32_t ch = 1; ch <= 14; ++ch)
    low.push_back({{"channel", ch}, {"high", t[60 + ch - 1]}, {"low", t[ch - 1]}});
  for (uint32_t ch : k5GHz) high.push_back({{"channel", ch}, {"value", t[five_ghz_byte(ch)]}});
  return {{"2.4GHz", low}, {"5GHz", high}};
}

// One channel's setting: "HIGH/LOW" (0 to 15 each) on 2.4 GHz, "VALUE" (0 to 255) on 5 GHz.
void set_entry(std::vector<UCHAR>* t, uint32_t ch, const std::string& value) {
  if (ch >= 1 && ch <= 14) {
    const size_t slash = value.find('/');
    if (slash == std::string::npos)
      throw UsageError("channel " + std::to_string(ch) + " takes HIGH/LOW, got '" + value + "'");
    (*t)[60 + ch - 1] = UCHAR(parse_number(value.substr(0, slash), 15, "high power value"));
    (*t)[ch - 1] = UCHAR(parse_number(value.substr(slash + 1), 15, "low power value"));
    return;
  }
  if (std::find(std::begin(k5GHz), std::end(k5GHz), ch) == std::end(k5GHz))
    throw UsageError("unknown channel " + std::to_string(ch) +
                     " (power entries: 1 to 14, 36 to 64 by 4, 149 to 161 by 4)");
  (*t)[five_ghz_byte(ch)] = UCHAR(parse_number(value, 255, "power value"));
}

Report write_table(Context& ctx, const std::vector<std::pair<uint32_t, std::string>>& changes) {
  std::vector<UCHAR> table = read_table(ctx);
  const std::vector<UCHAR> before = table;
  for (const auto& [ch, value] : changes) set_entry(&table, ch, value);
  check("WritePowerControl", WritePowerControl(ctx.adapter, table.data(), LONG(table.size())),
        "power table write");
  const std::vector<UCHAR> back = read_table(ctx);
  if (back != table)
    throw OperationError("ReadPowerControl", 1, "power table verify failed: read back differs",
                         {{"expected", table_json(table)}, {"actual", table_json(back)}});
  Report rep;
  json changed = json::array();
  for (const auto& [ch, value] : changes) changed.push_back({{"channel", ch}, {"setting", value}});
  rep.data = {{"changed", changed}, {"verified", true}, {"table", table_json(table)}};
  rep.line(std::to_string(changes.size()) + " channel(s) written and verified");
  return rep;
}

std::vector<std::pair<uint32_t, std::string>> parse_assignments(
    const std::vector<std::string>& items) {
  std::vector<std::pair<uint32_t, std::string>> out;
  for (const std::string& item : items) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      throw UsageError("power set: expected CH=HIGH/LOW or CH=VALUE, got '" + item + "'");
    const uint32_t ch = parse_number(item.substr(0, eq), 255, "channel");
    for (const auto& c : out)
      if (c.first == ch) throw UsageError("channel " + std::to_string(ch) + " given twice");
    out.push_back({ch, item.substr(eq + 1)});
  }
  if (out.empty()) throw UsageError("power set: nothing to set");
  std::vector<UCHAR> scratch(TALVEN_POWER_TABLE_LENGTH, 0);
  for (const auto& [ch, value] : out) set_entry(&scratch, ch, value);  // validate first
  return out;
}

}  // namespace

Report cmd_power_show(Context& ctx) {
  const std::vector<UCHAR> t = read_table(ctx);
  Report rep;
  rep.data = table_json(t);
  rep.line("2.4 GHz  channel: high/low");
  for (uint32_t ch = 1; ch <= 14; ++ch)
    rep.line("  " + std::to_string(ch) + ": " + std::to_string(t[60 + ch - 1]) + "/" +
             std::to_string(t[ch - 1]));
  rep.line("5 GHz    channel: value");
  for (uint32_t ch : k5GHz)
    rep.line("  " + std::to_string(ch) + ": " + std::to_string(t[five_ghz_byte(ch)]));
  return rep;
}

void check_power_set(const PowerSetOptions& o) {
  parse_assignments(o.assignments);
}

Report cmd_power_set(Context& ctx, const PowerSetOptions& o) {
  return write_table(ctx, parse_assignments(o.assignments));
}

namespace {
std::string export_format(const PowerExportOptions& o) {
  std::string format = o.format;
  if (format.empty())
    format = o.file.size() > 4 && o.file.substr(o.file.size() - 4) == ".csv" ? "csv" : "json";
  if (format != "csv" && format != "json")
    throw UsageError("unknown format " + format + " (csv or json)");
  return format;
}

// The table file's entries as CH=SETTING items; throws UsageError.
std::vector<std::string> power_file_items(const std::string& file) {
  std::vector<uint8_t> raw;
  if (!read_file(file, &raw)) throw UsageError("cannot read " + file);
  const std::string text(raw.begin(), raw.end());
  std::vector<std::string> items;
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && text[first] == '{') {
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object())
      throw UsageError(file + " is not a power table (bad JSON)");
    try {
      for (const json& e : j.value("2.4GHz", json::array()))
        items.push_back(std::to_string(e.at("channel").get<uint32_t>()) + "=" +
                        std::to_string(e.at("high").get<uint32_t>()) + "/" +
                        std::to_string(e.at("low").get<uint32_t>()));
      for (const json& e : j.value("5GHz", json::array()))
        items.push_back(std::to_string(e.at("channel").get<uint32_t>()) + "=" +
                        std::to_string(e.at("value").get<uint32_t>()));
    } catch (const json::exception& e) {
      throw UsageError(file + " is not a power table: " + e.what());
    }
  } else {
    std::istringstream in(text);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      if (header && line == "channel,setting") {
        header = false;
        continue;
      }
      header = false;
      const size_t comma = line.find(',');
      if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos)
        throw UsageError(file + ": bad CSV line '" + line + "' (channel,setting)");
      items.push_back(line.substr(0, comma) + "=" + line.substr(comma + 1));
    }
  }
  if (items.empty()) throw UsageError(file + " holds no power entries");
  parse_assignments(items);
  return items;
}
}  // namespace

void check_power_export(const PowerExportOptions& o) {
  export_format(o);
}

Report cmd_power_export(Context& ctx, const PowerExportOptions& o) {
  const std::string format = export_format(o);
  const std::string& file = o.file;
  const std::vector<UCHAR> t = read_table(ctx);
  std::string out;
  if (format == "json") {
    out = table_json(t).dump(2) + "\n";
  } else {
    out = "channel,setting\n";
    for (uint32_t ch = 1; ch <= 14; ++ch)
      out += std::to_string(ch) + "," + std::to_string(t[60 + ch - 1]) + "/" +
             std::to_string(t[ch - 1]) + "\n";
    for (uint32_t ch : k5GHz)
      out += std::to_string(ch) + "," + std::to_string(t[five_ghz_byte(ch)]) + "\n";
  }
  write_file_durable(file, std::vector<uint8_t>(out.begin(), out.end()));
  Report rep;
  rep.data = {{"file", file}, {"format", format}, {"channels", 26}};
  rep.line("power table written to " + file + " (" + format + ")");
  return rep;
}

void check_power_import(Context& ctx, const PowerImportOptions& o) {
  if (!ctx.written_by_recipe(o.file)) power_file_items(o.file);
}

Report cmd_power_import(Context& ctx, const PowerImportOptions& o) {
  Report rep = write_table(ctx, parse_assignments(power_file_items(o.file)));
  rep.data["file"] = o.file;
  return rep;
}

void check_id_set(const IdSetOptions& o) {
  if (o.vendor_id.empty() && o.device_id.empty())
    throw UsageError("id set: give --vid and/or --did");
  if (!o.vendor_id.empty()) parse_number(o.vendor_id, 0xFFFF, "vendor id");
  if (!o.device_id.empty()) parse_number(o.device_id, 0xFFFF, "device id");
}

Report cmd_id_set(Context& ctx, const IdSetOptions& o) {
  check_id_set(o);
  const bool has_vid = !o.vendor_id.empty(), has_did = !o.device_id.empty();
  const uint32_t vid = has_vid ? parse_number(o.vendor_id, 0xFFFF, "vendor id") : 0;
  const uint32_t did = has_did ? parse_number(o.device_id, 0xFFFF, "device id") : 0;
  if (has_vid) check("WriteEEpromVid", WriteEEpromVid(ctx.adapter, vid), "vendor id write");
  if (has_did) check("WriteEEpromDid", WriteEEpromDid(ctx.adapter, did), "device id write");
  Report rep;
  // Read back: each id is stored high byte first.
  auto read_id = [&](uint32_t offset) {
    return uint32_t(read_byte(ctx, offset)) << 8 | read_byte(ctx, offset + 1);
  };
  if (has_vid) {
    const uint32_t back = read_id(2);
    if (back != vid)
      throw OperationError("ReadEEpromByte", 1,
                           "vendor id verify failed: EEPROM holds " + hex(back, 4));
    rep.data["vendor_id"] = vid;
    rep.line("vendor id " + hex(vid, 4) + " written and verified");
  }
  if (has_did) {
    const uint32_t back = read_id(4);
    if (back != did)
      throw OperationError("ReadEEpromByte", 1,
                           "device id verify failed: EEPROM holds " + hex(back, 4));
    rep.data["device_id"] = did;
    rep.line("device id " + hex(did, 4) + " written and verified");
  }
  rep.data["verified"] = true;
  return rep;
}

}  // namespace talvenctl
