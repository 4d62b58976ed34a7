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

Change change_of(const json& e) {
  if (!e.is_object() || !e.contains("address") || !e["address"].is_string())
    throw UsageError("an event without an address");
  Change c;
  c.address = mac_to_u64(parse_mac(e["address"].get<std::string>()));
  const std::string event = e.value("event", "");
  if (event == "take") {
    c.take = true;
    c.state = State::Review;
  } else if (event == "outcome") {
    c.state = e.value("outcome", "") == "ok" ? State::Ok : State::Failed;
  } else if (event == "settle") {
    try {
      c.state = parse_outcome(e.value("outcome", ""));
    } catch (const UsageError&) {
    }
  }
  // A reissue leaves the address with its serial, as it was; a review finds it under review.
  return c;
}

namespace {
// The counts of a partial snapshot follow its entries' changes.
void recount(Counts* c, const std::optional<State>& before, State after, bool in_range) {
  auto slot = [c](State s) -> uint64_t& {
    switch (s) {
      case State::Ok:
        return c->ok;
      case State::Failed:
        return c->failed;
      case State::Scrap:
        return c->scrap;
      case State::Review:
        break;
    }
    return c->review;
  };
  if (before) {
    --slot(*before);
  } else if (in_range && c->free > 0) {
    --c->free;
  }
  ++slot(after);
}
}  // namespace

void apply(Snapshot* s, const json& e) {
  Change c;
  try {
    c = change_of(e);
  } catch (const UsageError&) {
    return;  // not an event: changes nothing
  }
  if (c.take) {
    Entry entry;
    entry.address = c.address;
    entry.serial = e.value("serial", "");
    entry.station = e.value("station", "");
    entry.time = e.value("time", "");
    entry.order = s->entries.size();
    if (s->partial) {
      bool in_range = false;
      for (const Range& r : s->ranges)
        in_range = in_range || (c.address >= r.first && c.address <= r.last);
      recount(&s->counts, std::nullopt, State::Review, in_range);
      if (s->next_free == c.address) s->next_free.reset();
    }
    s->entries[c.address] = entry;
    return;
  }
  auto it = s->entries.find(c.address);
  if (it == s->entries.end() || !c.state) return;  // an outcome without its take changes nothing
  if (s->partial) recount(&s->counts, it->second.state, *c.state, false);
  it->second.state = *c.state;
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

json review_event(uint64_t address) {
  return {{"event", "review"}, {"address", mac_text(address)}, {"time", utc_timestamp(false)}};
}

std::optional<uint64_t> first_free(const Snapshot& s) {
  for (const Range& r : s.ranges) {
    // The entries are ordered by address: walk those of this range from its first address.
    uint64_t a = r.first;
    for (auto it = s.entries.lower_bound(r.first); it != s.entries.end() && it->first == a; ++it)
      ++a;
    if (a <= r.last && a >= r.first) return a;
  }
  return std::nullopt;
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
        throw UsageError(
            "serial " + serial + " has " + mac_text(e->address) +
            (e->in_progress ? " being provisioned now by " + e->station + " (taken " + e->time + ")"
                            : " under review (taken " + e->time +
                                  ", outcome unknown): settle it with 'mac pool review', or "
                                  "--force for a new address"));
    for (auto it = mine.rbegin(); it != mine.rend(); ++it)
      if ((*it)->state == State::Ok) {
        plan.reuse = true;
        plan.address = (*it)->address;
        return plan;
      }
  }
  for (const Entry* e : mine)
    if (e->state == State::Ok || e->state == State::Review) plan.replaces.push_back(e->address);
  const std::optional<uint64_t> free = s.partial ? s.next_free : first_free(s);
  if (!free) throw OperationError("mac provision", 0, "the pool has no free address");
  plan.address = *free;
  return plan;
}

void check_settle(const Snapshot& s, uint64_t address) {
  auto it = s.entries.find(address);
  if (it == s.entries.end())
    throw UsageError(mac_text(address) + " was never taken from this pool");
  if (it->second.state != State::Review)
    throw UsageError(mac_text(address) + " is not under review (its outcome is " +
                     state_name(it->second.state) + ")");
  if (it->second.in_progress)
    throw UsageError(mac_text(address) + " is being provisioned now by " + it->second.station +
                     " (taken " + it->second.time + "): its outcome is still to come");
}

Counts count(const Snapshot& s) {
  if (s.partial) return s.counts;
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
    if (e.state == State::Review) {
      list.push_back({{"address", mac_text(a)}, {"serial", e.serial}, {"time", e.time}});
      if (e.in_progress) list.back()["in_progress"] = true;
    }
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
  const std::string chosen = where.empty() ? configured_pool() : where;
  if (chosen.empty())
    throw UsageError(
        "no pool: name one (a pool file, or an ODBC connection string such as "
        "'Driver={PostgreSQL Unicode};Server=...;Database=...;Pool=NAME'), or set \"pool\" in "
        "the station configuration (--config)");
  if (odbc_connection_string(chosen)) return open_database_pool(chosen);
  return open_journal_pool(chosen);
}

}  // namespace pool
}  // namespace talvenctl
