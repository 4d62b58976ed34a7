// talvenctl: MAC addresses, and their provisioning from a pool (pool.h says what a pool
// means; pool_journal.cpp keeps it in a local file with its journal).
#include <algorithm>
#include <iostream>

#include "pool.h"

namespace talvenctl {

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

void check_mac_set(const MacSetOptions& o) {
  check_unicast(parse_mac(o.address), o.address);
}

Report cmd_mac_set(Context& ctx, const MacSetOptions& o) {
  check_mac_set(o);
  const std::vector<uint8_t> mac = parse_mac(o.address);
  const bool runtime = o.runtime;
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

namespace {

uint32_t wait_ms(const std::string& text) {
  return parse_duration_ms(text, "wait", true);
}

// The low-pool threshold: the command line's, else the pool's.
uint64_t threshold(const std::string& text, const pool::Snapshot& s) {
  return text.empty() ? s.warn_below : parse_number(text, 0xFFFFFFFFu, "warn-below");
}

// Adds the low-pool warning to a report when fewer than the threshold are free.
void warn_if_low(Report* rep, const std::string& name, const pool::Counts& c, uint64_t below) {
  const bool low = below > 0 && c.free < below;
  rep->data["low"] = low;
  if (!low) return;
  const std::string warning = "only " + std::to_string(c.free) + " free address(es) left in " +
                              name + " (warning below " + std::to_string(below) + ")";
  rep->data["warning"] = warning;
  std::cerr << "talvenctl: warning: " << warning << "\n";
}

// This pool's ranges must not overlap another pool of its folder (a pool file edited by hand).
void check_neighbours(pool::Backend& b, const pool::Snapshot& s) {
  for (const auto& [other, r] : b.neighbours())
    for (const pool::Range& mine : s.ranges)
      if (mine.overlaps(r))
        throw UsageError("the pool " + b.name() + " overlaps the pool " + other + " (" +
                         mac_text(r.first) + " to " + mac_text(r.last) +
                         "): nothing is handed out until the ranges are disjoint");
}

}  // namespace

void check_pool_init(const PoolInitOptions& o) {
  pool::parse_range(o.first, o.last);
  if (!o.warn_below.empty()) parse_number(o.warn_below, 0xFFFFFFFFu, "warn-below");
  wait_ms(o.wait);
}

Report cmd_pool_init(const PoolInitOptions& o) {
  check_pool_init(o);
  const pool::Range range = pool::parse_range(o.first, o.last);
  uint64_t warn = 0;
  if (!o.warn_below.empty()) warn = parse_number(o.warn_below, 0xFFFFFFFFu, "warn-below");
  auto backend = pool::open_pool(o.file);
  const std::vector<pool::Range> ranges =
      backend->add_range(range, o.warn_below.empty() ? nullptr : &warn, wait_ms(o.wait));
  json list = json::array();
  for (const pool::Range& r : ranges)
    list.push_back({{"first", mac_text(r.first)}, {"last", mac_text(r.last)}});
  Report rep;
  rep.data = {{"file", o.file},
              {"journal", o.file + ".journal"},
              {"ranges", list},
              {"added", range.size()}};
  rep.line("pool " + o.file + ": range " + mac_text(range.first) + " to " + mac_text(range.last) +
           " (" + std::to_string(range.size()) + " addresses) added");
  return rep;
}

void check_pool_status(const PoolStatusOptions& o) {
  if (!o.warn_below.empty()) parse_number(o.warn_below, 0xFFFFFFFFu, "warn-below");
}

Report cmd_pool_status(const PoolStatusOptions& o) {
  check_pool_status(o);
  auto backend = pool::open_pool(o.file);
  const pool::Snapshot s = backend->read();
  const pool::Counts c = pool::count(s);
  const json review = pool::review_list(s);
  Report rep;
  rep.data = {{"file", o.file},     {"total", c.total}, {"provisioned", c.ok},
              {"failed", c.failed}, {"scrap", c.scrap}, {"unknown", c.review},
              {"free", c.free},     {"review", review}, {"torn_lines", s.torn_lines}};
  rep.line(std::to_string(c.total) + " addresses: " + std::to_string(c.ok) + " provisioned, " +
           std::to_string(c.failed) + " failed, " + std::to_string(c.scrap) + " scrapped, " +
           std::to_string(c.review) + " unknown, " + std::to_string(c.free) + " free");
  for (const json& r : review)
    rep.line("  REVIEW: " + r["address"].get<std::string>() + " taken for serial '" +
             r["serial"].get<std::string>() + "' at " + r["time"].get<std::string>() +
             ", outcome unknown ('mac pool review ADDRESS ok|failed|scrap' settles it)");
  warn_if_low(&rep, o.file, c, threshold(o.warn_below, s));
  return rep;
}

void check_pool_review(Context& ctx, const PoolReviewOptions& o) {
  parse_mac(o.address);
  pool::parse_outcome(o.outcome);
  wait_ms(o.wait);
  if (!ctx.written_by_recipe(o.pool)) pool::open_pool(o.pool)->read();
}

Report cmd_pool_review(const PoolReviewOptions& o) {
  Context none;
  check_pool_review(none, o);
  const uint64_t address = mac_to_u64(parse_mac(o.address));
  const pool::State outcome = pool::parse_outcome(o.outcome);
  auto backend = pool::open_pool(o.pool);
  backend->lock(wait_ms(o.wait));
  const pool::Snapshot s = backend->read();
  pool::check_settle(s, address);
  backend->record(pool::settle_event(address, outcome));
  const pool::Entry& e = s.entries.at(address);
  Report rep;
  rep.data = {{"address", mac_text(address)},
              {"serial", e.serial},
              {"outcome", pool::state_name(outcome)},
              {"pool", o.pool}};
  rep.line(mac_text(address) + " (serial '" + e.serial + "') settled as " +
           pool::state_name(outcome));
  return rep;
}

void check_provision(Context& ctx, const ProvisionOptions& o) {
  pool::check_serial(o.serial);
  wait_ms(o.wait);
  if (!o.warn_below.empty()) parse_number(o.warn_below, 0xFFFFFFFFu, "warn-below");
  // The pool and its journal are there and readable, unless an earlier recipe line makes it.
  if (!ctx.written_by_recipe(o.pool)) pool::open_pool(o.pool)->read();
}

Report cmd_provision(Context& ctx, const ProvisionOptions& o) {
  check_provision(ctx, o);
  auto backend = pool::open_pool(o.pool);
  backend->lock(wait_ms(o.wait));
  const pool::Snapshot s = backend->read();
  check_neighbours(*backend, s);
  const pool::Plan plan = pool::plan_provision(s, o.serial, o.force);
  const std::string address = mac_text(plan.address);
  const std::vector<uint8_t> mac = u64_to_mac(plan.address);
  const json review = pool::review_list(s);
  const json known = {{"address", address}, {"serial", o.serial}, {"review", review}};

  test_abort_point("provision-before-journal");
  if (!plan.reuse)
    backend->record(pool::take_event(plan.address, o.serial, o.force, plan.replaces));
  test_abort_point("provision-after-journal");

  // From here on the address may be on the board: every error names it.
  bool written = false;
  try {
    UCHAR back[6] = {};
    ULONG w = 1, r = 1;
    // A serial getting its own address again: written only when the board does not hold it.
    const bool already = plan.reuse && ReadEEpromMacAddr(ctx.adapter, back) == 1 &&
                         std::equal(mac.begin(), mac.end(), back);
    if (!already) {
      w = WriteEEpromMacAddr(ctx.adapter, mac.data());
      written = true;
      test_abort_point("provision-after-write");
      r = w == 1 ? ReadEEpromMacAddr(ctx.adapter, back) : 0;
      test_abort_point("provision-after-verify");
    }
    const bool ok = w == 1 && r == 1 && std::equal(mac.begin(), mac.end(), back);
    if (!ok) {
      const char* op = w != 1 ? "WriteEEpromMacAddr" : "ReadEEpromMacAddr";
      const ULONG res = w != 1 ? w : r;
      json extra = {{"operation", op}, {"result", res}};
      if (w == 1 && r == 1) extra["read_back"] = format_mac(back);
      backend->record(plan.reuse ? pool::reissue_event(plan.address, o.serial, false, extra)
                                 : pool::outcome_event(plan.address, false, extra));
      throw OperationError(
          op, res,
          "provisioning " + address + " for serial " + o.serial + " failed (" + op + " result " +
              std::to_string(res) + (w == 1 && r == 1 ? ", read back " + format_mac(back) : "") +
              (plan.reuse ? "); the address stays the serial's"
                          : "); the address is spent and will not be handed out again"),
          known);
    }
    backend->record(plan.reuse
                        ? pool::reissue_event(plan.address, o.serial, true, {{"written", !already}})
                        : pool::outcome_event(plan.address, true, {{"serial", o.serial}}));
    test_abort_point("provision-after-outcome");
    Report rep;
    rep.data = {{"address", address}, {"serial", o.serial},     {"outcome", "ok"},
                {"verified", true},   {"reissued", plan.reuse}, {"written", !already}};
    if (o.force) {
      json replaced = json::array();
      for (uint64_t a : plan.replaces) replaced.push_back(mac_text(a));
      rep.data["replaces"] = replaced;
    }
    rep.data["review"] = review;
    rep.line((plan.reuse ? "serial " + o.serial + " already had " + address +
                               (already ? ", found on the board" : ", written again")
                         : "provisioned " + address + " for serial " + o.serial) +
             " (verified)");
    for (const json& x : review)
      rep.line("  REVIEW: " + x["address"].get<std::string>() + " (serial '" +
               x["serial"].get<std::string>() + "') has no recorded outcome");
    pool::Snapshot after = s;
    if (!plan.reuse) pool::apply(&after, pool::take_event(plan.address, o.serial, false, {}));
    warn_if_low(&rep, o.pool, pool::count(after), threshold(o.warn_below, s));
    return rep;
  } catch (const OperationError& e) {
    if (e.details.contains("address")) throw;
    json details = e.details;
    details.update(known);
    throw OperationError(
        e.operation, e.result,
        e.what() + std::string(" (address ") + address + ", serial " + o.serial + ")", details);
  } catch (const std::exception& e) {
    // The journal could not record how it ended: the board may hold the address, which
    // stays under review until settled.
    json details = known;
    details["board"] = written ? "written" : "not written";
    details["journal"] = "outcome not recorded";
    throw OperationError(
        "journal", 0,
        std::string(e.what()) + ": " + address + " for serial " + o.serial +
            (written ? " was written to the board" : "") +
            ", but the journal does not record the outcome; the address stays under review "
            "('mac pool review " +
            address + " ok|failed|scrap --pool " + o.pool + "')",
        details);
  }
}

}  // namespace talvenctl
