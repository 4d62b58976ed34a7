// talvenctl: MAC addresses, and their provisioning from a pool with a durable journal.
//
// A pool is a JSON file of address ranges; beside it, FILE.journal holds one JSON line per
// event, each flushed to the disk before the tool goes on:
//   {"event":"take","address":"00:5B:A7:00:00:01","serial":"S1","time":"..."}
//     written before the EEPROM write; from then on the address is spent.
//   {"event":"outcome","address":"...","outcome":"ok"|"failed","time":"...",...}
//     written once the write was verified (ok) or failed.
//   {"event":"torn","line":N}
//     closes line N, cut short by a crash (its entry never reached the disk whole, so no
//     adapter was written after it); any other damaged line stops provisioning.
// An address taken without an outcome (the process died in between) is reported for review
// and never handed out again.
#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "tool.h"

namespace talvenctl {
namespace {

bool is_group(const std::vector<uint8_t>& mac) {
  return (mac[0] & 0x01) != 0;  // multicast, and broadcast with it
}

void check_unicast(const std::vector<uint8_t>& mac, const std::string& text) {
  if (mac == std::vector<uint8_t>(6, 0xFF))
    throw UsageError("broadcast address " + text + " refused");
  if (is_group(mac)) throw UsageError("multicast address " + text + " refused");
  if (mac == std::vector<uint8_t>(6, 0)) throw UsageError("all-zero address refused");
}

std::string mac_text(uint64_t v) {
  const std::vector<uint8_t> m = u64_to_mac(v);
  return format_mac(m.data());
}

struct Range {
  uint64_t first, last;
};

std::vector<Range> load_pool(const std::string& file) {
  std::vector<uint8_t> raw;
  if (!read_file(file, &raw)) throw UsageError("cannot read the pool " + file);
  const json j = json::parse(std::string(raw.begin(), raw.end()), nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("format", "") != "talvenctl-mac-pool")
    throw UsageError(file + " is not a MAC address pool");
  std::vector<Range> ranges;
  try {
    for (const json& r : j.at("ranges"))
      ranges.push_back({mac_to_u64(parse_mac(r.at("first").get<std::string>())),
                        mac_to_u64(parse_mac(r.at("last").get<std::string>()))});
  } catch (const json::exception& e) {
    throw UsageError(file + " is not a MAC address pool: " + e.what());
  }
  return ranges;
}

struct Taken {
  std::string serial, time, outcome;  // outcome empty: unknown
  json detail;
};

struct JournalState {
  std::map<uint64_t, Taken> taken;
  size_t torn_lines = 0;  // lines cut short by a crash
  std::set<size_t> torn;  // ... and not closed by a "torn" entry
  bool last_line_torn = false;
  size_t lines = 0;
};

JournalState parse_journal(const std::string& text, const std::string& path) {
  JournalState s;
  std::istringstream in(text);
  std::string line;
  size_t number = 0;
  const size_t lines = size_t(std::count(text.begin(), text.end(), '\n')) +
                       (!text.empty() && text.back() != '\n' ? 1 : 0);
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    const json e = json::parse(line, nullptr, false);
    if (!e.is_discarded() && e.is_object() && e.value("event", "") == "torn") {
      s.torn.erase(e.value("line", size_t(0)));
      continue;
    }
    if (e.is_discarded() || !e.is_object() || !e.contains("address")) {
      // Only the last line can be cut short by a crash; its entry never reached the disk
      // whole, so nothing was written to an adapter after it. The next append closes it
      // with a "torn" entry naming it.
      s.torn.insert(number);
      ++s.torn_lines;
      continue;
    }
    const uint64_t a = mac_to_u64(parse_mac(e["address"].get<std::string>()));
    const std::string event = e.value("event", "");
    if (event == "take") {
      s.taken[a] = Taken{e.value("serial", ""), e.value("time", ""), "", json::object()};
    } else if (event == "outcome" && s.taken.count(a)) {
      s.taken[a].outcome = e.value("outcome", "");
      s.taken[a].detail = e;
    }
  }
  s.last_line_torn = s.torn.erase(lines) > 0;  // the last line may be torn and not yet closed
  if (!s.torn.empty())
    throw OperationError("journal", 0,
                         path + " line " + std::to_string(*s.torn.begin()) +
                             " is damaged; review the journal before provisioning");
  s.lines = lines;
  return s;
}

json review_list(const JournalState& s) {
  json list = json::array();
  for (const auto& [a, t] : s.taken)
    if (t.outcome.empty())
      list.push_back({{"address", mac_text(a)}, {"serial", t.serial}, {"time", t.time}});
  return list;
}

uint64_t range_size(const Range& r) {
  return r.last - r.first + 1;
}

}  // namespace

Report cmd_mac_show(Context& ctx) {
  UCHAR e[6], r[6], p[6];
  check("ReadEEpromMacAddr", ReadEEpromMacAddr(ctx.adapter, e), "EEPROM MAC read");
  check("ReadMACAddress", ReadMACAddress(ctx.adapter, r), "runtime MAC read");
  check("QueryPermanentAddress", QueryPermanentAddress(ctx.adapter, p), "permanent address read");
  Report rep;
  rep.data = {{"eeprom", format_mac(e)}, {"runtime", format_mac(r)}, {"permanent", format_mac(p)}};
  rep.line("EEPROM:    " + format_mac(e));
  rep.line("runtime:   " + format_mac(r));
  rep.line("permanent: " + format_mac(p));
  return rep;
}

Report cmd_mac_set(Context& ctx, const std::string& address, bool runtime) {
  const std::vector<uint8_t> mac = parse_mac(address);
  check_unicast(mac, address);
  UCHAR back[6] = {};
  if (runtime) {
    check("WriteMACAddress", WriteMACAddress(ctx.adapter, mac.data()), "runtime MAC write");
    check("ReadMACAddress", ReadMACAddress(ctx.adapter, back), "runtime MAC read back");
  } else {
    check("WriteEEpromMacAddr", WriteEEpromMacAddr(ctx.adapter, mac.data()), "EEPROM MAC write");
    check("ReadEEpromMacAddr", ReadEEpromMacAddr(ctx.adapter, back), "EEPROM MAC read back");
  }
  if (!std::equal(mac.begin(), mac.end(), back))
    throw OperationError(runtime ? "ReadMACAddress" : "ReadEEpromMacAddr", 1,
                         "verify failed: the adapter holds " + format_mac(back),
                         {{"expected", format_mac(mac.data())}, {"actual", format_mac(back)}});
  Report rep;
  rep.data = {{"target", runtime ? "runtime" : "eeprom"},
              {"address", format_mac(mac.data())},
              {"verified", true}};
  rep.line(std::string(runtime ? "runtime" : "EEPROM") + " MAC set to " + format_mac(mac.data()) +
           " (verified)");
  return rep;
}

Report cmd_pool_init(const std::string& first_text, const std::string& last_text,
                     const std::string& file) {
  const std::vector<uint8_t> first = parse_mac(first_text), last = parse_mac(last_text);
  check_unicast(first, first_text);
  check_unicast(last, last_text);
  const Range range{mac_to_u64(first), mac_to_u64(last)};
  if (range.first > range.last) throw UsageError("the range ends before it starts");
  // The group bit is the low bit of the first byte: a range within one first byte that is
  // unicast stays unicast; across first bytes it passes a multicast block.
  if ((range.first >> 40) != (range.last >> 40))
    throw UsageError("the range " + first_text + " to " + last_text +
                     " spans multicast addresses (its first byte changes)");
  std::vector<Range> ranges;
  if (file_exists(file)) ranges = load_pool(file);
  for (const Range& r : ranges)
    if (range.first <= r.last && r.first <= range.last)
      throw UsageError("the range overlaps " + mac_text(r.first) + " to " + mac_text(r.last) +
                       " already in " + file);
  ranges.push_back(range);
  json list = json::array();
  for (const Range& r : ranges)
    list.push_back({{"first", mac_text(r.first)}, {"last", mac_text(r.last)}});
  const std::string text =
      json({{"format", "talvenctl-mac-pool"}, {"version", 1}, {"ranges", list}}).dump(2) + "\n";
  write_file_durable(file + ".tmp", std::vector<uint8_t>(text.begin(), text.end()));
  replace_file(file + ".tmp", file);
  Journal journal;
  journal.open(file + ".journal", true);
  Report rep;
  rep.data = {{"file", file},
              {"journal", file + ".journal"},
              {"ranges", list},
              {"added", range_size(range)}};
  rep.line("pool " + file + ": range " + mac_text(range.first) + " to " + mac_text(range.last) +
           " (" + std::to_string(range_size(range)) + " addresses) added");
  return rep;
}

Report cmd_pool_status(const std::string& file) {
  const std::vector<Range> ranges = load_pool(file);
  // Read without the lock, so that status works while a station provisions.
  std::vector<uint8_t> raw;
  if (!read_file(file + ".journal", &raw)) throw UsageError("cannot read " + file + ".journal");
  const JournalState s = parse_journal(std::string(raw.begin(), raw.end()), file + ".journal");
  uint64_t total = 0, ok = 0, failed = 0, in_pool = 0;
  for (const Range& r : ranges) total += range_size(r);
  for (const auto& [a, t] : s.taken) {
    ok += t.outcome == "ok";
    failed += t.outcome == "failed";
    for (const Range& r : ranges) in_pool += a >= r.first && a <= r.last;
  }
  const json review = review_list(s);
  Report rep;
  rep.data = {{"file", file},
              {"total", total},
              {"provisioned", ok},
              {"failed", failed},
              {"unknown", review.size()},
              {"free", total - in_pool},
              {"review", review},
              {"torn_lines", s.torn_lines}};
  rep.line(std::to_string(total) + " addresses: " + std::to_string(ok) + " provisioned, " +
           std::to_string(failed) + " failed, " + std::to_string(review.size()) + " unknown, " +
           std::to_string(total - in_pool) + " free");
  for (const json& r : review)
    rep.line("  REVIEW: " + r["address"].get<std::string>() + " taken for serial '" +
             r["serial"].get<std::string>() + "' at " + r["time"].get<std::string>() +
             ", outcome unknown");
  return rep;
}

Report cmd_provision(Context& ctx, const std::string& file, const std::string& serial) {
  if (serial.size() > 64 || std::any_of(serial.begin(), serial.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
      }))
    throw UsageError("bad serial (up to 64 printable characters)");
  const std::vector<Range> ranges = load_pool(file);
  Journal journal;
  journal.open(file + ".journal", false);
  const JournalState s = parse_journal(journal.contents(), file + ".journal");
  bool found = false;
  uint64_t next = 0;
  for (const Range& r : ranges) {
    for (uint64_t a = r.first; a <= r.last && !found; ++a)
      if (!s.taken.count(a)) next = a, found = true;
    if (found) break;
  }
  if (!found) throw OperationError("mac provision", 0, "the pool " + file + " has no free address");
  const std::string address = mac_text(next);
  const std::vector<uint8_t> mac = u64_to_mac(next);
  const json review = review_list(s);

  test_abort_point("provision-before-journal");
  if (s.last_line_torn) journal.append_line(json({{"event", "torn"}, {"line", s.lines}}).dump());
  journal.append_line(json({{"event", "take"},
                            {"address", address},
                            {"serial", serial},
                            {"time", utc_timestamp(false)}})
                          .dump());
  test_abort_point("provision-after-journal");

  auto outcome = [&](const std::string& result, json extra) {
    json e = {{"event", "outcome"},
              {"address", address},
              {"outcome", result},
              {"time", utc_timestamp(false)}};
    e.update(extra);
    journal.append_line(e.dump());
  };
  const ULONG w = WriteEEpromMacAddr(ctx.adapter, mac.data());
  test_abort_point("provision-after-write");
  UCHAR back[6] = {};
  const ULONG r = w == 1 ? ReadEEpromMacAddr(ctx.adapter, back) : 0;
  test_abort_point("provision-after-verify");
  if (w != 1 || r != 1 || !std::equal(mac.begin(), mac.end(), back)) {
    const char* op = w != 1 ? "WriteEEpromMacAddr" : "ReadEEpromMacAddr";
    const ULONG res = w != 1 ? w : r;
    json extra = {{"operation", op}, {"result", res}};
    if (w == 1 && r == 1) extra["read_back"] = format_mac(back);
    outcome("failed", extra);
    throw OperationError(op, res,
                         "provisioning " + address + " failed (" + op + " result " +
                             std::to_string(res) +
                             (w == 1 && r == 1 ? ", read back " + format_mac(back) : "") +
                             "); the address is spent and will not be handed out again",
                         {{"address", address}, {"serial", serial}, {"review", review}});
  }
  outcome("ok", {{"serial", serial}});
  test_abort_point("provision-after-outcome");
  Report rep;
  rep.data = {{"address", address},
              {"serial", serial},
              {"outcome", "ok"},
              {"verified", true},
              {"review", review}};
  rep.line("provisioned " + address + (serial.empty() ? "" : " for serial " + serial) +
           " (written and verified)");
  for (const json& x : review)
    rep.line("  REVIEW: " + x["address"].get<std::string>() + " (serial '" +
             x["serial"].get<std::string>() + "') has no recorded outcome");
  return rep;
}

}  // namespace talvenctl
