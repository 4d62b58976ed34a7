// talvenctl: what a MAC address pool means, for every backend (see pool.h).
#include "pool.h"

#include <algorithm>

namespace talvenctl {
namespace pool {

const char* state_name(State s) {
  switch (s) {
    case State::Review:
      return "review";
    case State::Ok:
      return "ok";
    case State::Failed:
      return "failed";
    case State::Scrap:
      return "scrap";
  }
  return "review";
}

State parse_outcome(const std::string& text) {
  if (text == "ok") return State::Ok;
  if (text == "failed") return State::Failed;
  if (text == "scrap") return State::Scrap;
  throw UsageError("bad outcome '" + text + "' (ok, failed or scrap)");
}

void apply(Snapshot* s, const json& e) {
  if (!e.is_object() || !e.contains("address") || !e["address"].is_string()) return;
  const uint64_t a = mac_to_u64(parse_mac(e["address"].get<std::string>()));
  const std::string event = e.value("event", "");
  if (event == "take") {
    Entry entry;
    entry.address = a;
    entry.serial = e.value("serial", "");
    entry.station = e.value("station", "");
    entry.time = e.value("time", "");
    entry.order = s->entries.size();
    s->entries[a] = entry;
    return;
  }
  auto it = s->entries.find(a);
  if (it == s->entries.end()) return;  // an outcome without its take changes nothing
  if (event == "outcome") {
    it->second.state = e.value("outcome", "") == "ok" ? State::Ok : State::Failed;
  } else if (event == "settle") {
    try {
      it->second.state = parse_outcome(e.value("outcome", ""));
    } catch (const UsageError&) {
    }
  }
  // A reissue leaves the address with its serial, as it was.
}

json take_event(uint64_t address, const std::string& serial, bool force,
                const std::vector<uint64_t>& replaces) {
  json e = {{"event", "take"},
            {"address", mac_text(address)},
            {"serial", serial},
            {"station", station_name()},
            {"time", utc_timestamp(false)}};
  if (force) {
    e["force"] = true;
    json r = json::array();
    for (uint64_t a : replaces) r.push_back(mac_text(a));
    e["replaces"] = r;
  }
  return e;
}

json outcome_event(uint64_t address, bool ok, const json& detail) {
  json e = {{"event", "outcome"},
            {"address", mac_text(address)},
            {"outcome", ok ? "ok" : "failed"},
            {"time", utc_timestamp(false)}};
  e.update(detail);
  return e;
}

json reissue_event(uint64_t address, const std::string& serial, bool ok, const json& detail) {
  json e = {{"event", "reissue"},
            {"address", mac_text(address)},
            {"serial", serial},
            {"station", station_name()},
            {"time", utc_timestamp(false)},
            {"result", ok ? "ok" : "failed"}};
  e.update(detail);
  return e;
}

json settle_event(uint64_t address, State outcome) {
  return {{"event", "settle"},
          {"address", mac_text(address)},
          {"outcome", state_name(outcome)},
          {"time", utc_timestamp(false)}};
}

Plan plan_provision(const Snapshot& s, const std::string& serial, bool force) {
  Plan plan;
  // The serial's earlier addresses, newest take last.
  std::vector<const Entry*> mine;
  for (const auto& [a, e] : s.entries)
    if (e.serial == serial) mine.push_back(&e);
  std::sort(mine.begin(), mine.end(),
            [](const Entry* x, const Entry* y) { return x->order < y->order; });
  if (!force) {
    for (const Entry* e : mine)
      if (e->state == State::Review)
        throw UsageError("serial " + serial + " has " + mac_text(e->address) +
                         " under review (taken " + e->time +
                         ", outcome unknown): settle it with 'mac pool review', or --force "
                         "for a new address");
    for (auto it = mine.rbegin(); it != mine.rend(); ++it)
      if ((*it)->state == State::Ok) {
        plan.reuse = true;
        plan.address = (*it)->address;
        return plan;
      }
  }
  for (const Entry* e : mine)
    if (e->state == State::Ok || e->state == State::Review) plan.replaces.push_back(e->address);
  for (const Range& r : s.ranges)
    for (uint64_t a = r.first; a <= r.last; ++a)
      if (!s.entries.count(a)) {
        plan.address = a;
        return plan;
      }
  throw OperationError("mac provision", 0, "the pool has no free address");
}

void check_settle(const Snapshot& s, uint64_t address) {
  auto it = s.entries.find(address);
  if (it == s.entries.end())
    throw UsageError(mac_text(address) + " was never taken from this pool");
  if (it->second.state != State::Review)
    throw UsageError(mac_text(address) + " is not under review (its outcome is " +
                     state_name(it->second.state) + ")");
}

Counts count(const Snapshot& s) {
  Counts c;
  uint64_t in_pool = 0;
  for (const Range& r : s.ranges) c.total += r.size();
  for (const auto& [a, e] : s.entries) {
    c.ok += e.state == State::Ok;
    c.failed += e.state == State::Failed;
    c.scrap += e.state == State::Scrap;
    c.review += e.state == State::Review;
    for (const Range& r : s.ranges) in_pool += a >= r.first && a <= r.last;
  }
  c.free = c.total - in_pool;
  return c;
}

json review_list(const Snapshot& s) {
  json list = json::array();
  for (const auto& [a, e] : s.entries)
    if (e.state == State::Review)
      list.push_back({{"address", mac_text(a)}, {"serial", e.serial}, {"time", e.time}});
  return list;
}

Range parse_range(const std::string& first_text, const std::string& last_text) {
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
  return range;
}

void check_serial(const std::string& serial) {
  if (serial.empty() || serial.size() > 64 || std::any_of(serial.begin(), serial.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
      }))
    throw UsageError("bad serial '" + serial + "' (1 to 64 printable characters)");
}

std::unique_ptr<Backend> open_pool(const std::string& where) {
  return open_journal_pool(where);
}

}  // namespace pool
}  // namespace talvenctl
