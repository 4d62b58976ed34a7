// talvenctl: a pool in a database that the stations of a line share (pool.h says what a pool
// means; db.h reaches the database; docs/station-database.md describes the tables).
//
// How it stays sound with any number of stations:
// - An address is handed out at most once: it is the primary key of mac_address, so the server
//   refuses a second row for it, whatever a station does.
// - A provision locks its pool's row (SELECT ... FOR UPDATE) while it reads the pool, plans and
//   takes. The take (the address's row in state 'taken', and its event) is committed before
//   the board is written: from then on the address is spent, whatever becomes of the station.
// - While it writes the board, the station holds the address's row locked in a second
//   transaction, which ends with the outcome. A 'taken' row that no session holds belongs to a
//   station that died or lost the server: the next reader marks it 'review' (a skip-locked
//   read, the dialect's). So a crash or a lost network between take and outcome leaves the
//   address under review, never free.
// - A take whose commit went unanswered (the server went away) is looked up by its claim, a
//   random token in the row: found, the provision goes on; not found, it starts again.
// - Ranges are added under the lock of the schema's row, and refused where they overlap a range
//   of any pool in the database.
#include <algorithm>
#include <chrono>
#include <random>

#include "db.h"
#include "pool.h"

namespace talvenctl {
namespace pool {
namespace {

using odbc::Value;

std::string new_claim() {
  static std::mt19937_64 random{
      std::random_device{}() ^
      uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return buf;
}

Value address_value(uint64_t a) {
  return Value::of(int64_t(a));
}

uint64_t as_address(const std::optional<std::string>& text) {
  return text ? uint64_t(std::stoll(*text)) : 0;
}

class DatabasePool : public Backend {
 public:
  DatabasePool(std::shared_ptr<db::Database> db, std::string pool)
      : db_(std::move(db)), pool_(std::move(pool)) {}

  ~DatabasePool() override {
    // A lock or a held address that no event ended: the transaction goes, the rows stay.
    if (locked_ || held_) c().rollback();
  }

  std::string name() const override { return pool_ + " (" + db_->where() + ")"; }
  std::string kind() const override { return "database"; }
  json describe() const override { return {{"pool", pool_}, {"database", db_->where()}}; }
  std::string argument() const override { return db_->where() + "Pool=" + pool_ + ";"; }

  std::vector<Range> add_range(const Range& range, const uint64_t* warn_below,
                               uint32_t wait_ms) override {
    return db_->retrying([&] {
      lock_row("SELECT version FROM talvenctl_schema WHERE id = 1 FOR UPDATE", {}, wait_ms,
               "the pools of the database are being changed by another talvenctl");
      for (const odbc::Row& r :
           c().query("SELECT pool_name, first_address, last_address FROM mac_pool_range "
                     "WHERE first_address <= ? AND last_address >= ? ORDER BY pool_name, position",
                     {address_value(range.last), address_value(range.first)})) {
        const std::string span = mac_text(as_address(r[1])) + " to " + mac_text(as_address(r[2]));
        throw UsageError(r[0] == pool_
                             ? "the range overlaps " + span + " already in the pool " + pool_
                             : "the range overlaps " + span + " of the pool " + r[0].value_or("") +
                                   " in the database " + db_->where());
      }
      const auto taken = c().query("SELECT COUNT(*) FROM mac_address WHERE address BETWEEN ? AND ?",
                                   {address_value(range.first), address_value(range.last)});
      if (!taken.empty() && taken[0][0] && *taken[0][0] != "0")
        throw UsageError("the range holds " + *taken[0][0] +
                         " address(es) already handed out by the database");
      if (c().query("SELECT warn_below FROM mac_pool WHERE pool_name = ?", {Value::of(pool_)})
              .empty())
        c().execute(
            "INSERT INTO mac_pool (pool_name, warn_below, created_at, created_by) "
            "VALUES (?, ?, CURRENT_TIMESTAMP, ?)",
            {Value::of(pool_), Value::of(int64_t(warn_below ? *warn_below : 0)),
             Value::of(station_name())});
      else if (warn_below)
        c().execute("UPDATE mac_pool SET warn_below = ? WHERE pool_name = ?",
                    {Value::of(int64_t(*warn_below)), Value::of(pool_)});
      const auto next =
          c().query("SELECT COALESCE(MAX(position), 0) + 1 FROM mac_pool_range WHERE pool_name = ?",
                    {Value::of(pool_)});
      c().execute(
          "INSERT INTO mac_pool_range (pool_name, position, first_address, last_address, "
          "first_text, last_text, added_at, added_by) "
          "VALUES (?, ?, ?, ?, ?, ?, CURRENT_TIMESTAMP, ?)",
          {Value::of(pool_), Value::of(int64_t(std::stoll(next.at(0).at(0).value_or("1")))),
           address_value(range.first), address_value(range.last), Value::of(mac_text(range.first)),
           Value::of(mac_text(range.last)), Value::of(station_name())});
      test_abort_point("pool-init-before-write");
      std::vector<Range> ranges = read_ranges();
      c().commit();
      return ranges;
    });
  }

  void lock(uint32_t wait_ms) override {
    if (locked_) return;
    db_->ensure_connected();
    bool found = false;
    try {
      found = lock_row("SELECT warn_below FROM mac_pool WHERE pool_name = ? FOR UPDATE",
                       {Value::of(pool_)}, wait_ms,
                       "the pool " + pool_ + " is in use by another talvenctl");
    } catch (const odbc::Error& e) {
      fail(e);
    }
    if (!found) {
      c().rollback();
      throw missing();
    }
    locked_ = true;
  }

  Snapshot read(const Focus& focus) override {
    return guarded([&] { return load(focus); });
  }

  void record(const json& event) override {
    const Change change = change_of(event);
    const std::string kind = event.value("event", std::string());
    const json& how = event.contains("outcome") ? event["outcome"] : event.value("result", json());
    const std::string hook =
        "database-" + kind + "-" + (how.is_string() ? how.get<std::string>() : "");
    if (change.take) {
      take(change.address, event, hook);
    } else if (kind == "outcome") {
      finish(change.address, *change.state, event, hook);
    } else if (kind == "settle") {
      settle(change.address, *change.state, event, hook);
    } else {
      db_->retrying([&] {
        c().execute("UPDATE mac_address SET changed_at = CURRENT_TIMESTAMP WHERE address = ?",
                    {address_value(change.address)});
        insert_event(change.address, event);
        if (test_fail_point(hook.c_str()))
          throw std::runtime_error("cannot write to the database (test hook)");
        c().commit();
        return true;
      });
      locked_ = false;
      held_.reset();
    }
  }

  std::vector<std::pair<std::string, Range>> neighbours() override {
    return guarded([&] {
      std::vector<std::pair<std::string, Range>> out;
      for (const odbc::Row& r :
           c().query("SELECT o.pool_name, o.first_address, o.last_address "
                     "FROM mac_pool_range m, mac_pool_range o "
                     "WHERE m.pool_name = ? AND o.pool_name <> m.pool_name "
                     "AND o.first_address <= m.last_address AND m.first_address <= o.last_address",
                     {Value::of(pool_)}))
        out.push_back({r[0].value_or(""), Range{as_address(r[1]), as_address(r[2])}});
      return out;
    });
  }

 private:
  odbc::Connection& c() const { return db_->conn(); }

  UsageError missing() const {
    return UsageError("no pool " + pool_ + " in the database " + db_->where() +
                      " ('mac pool init FIRST LAST POOL' creates it)");
  }

  // Whether this station's take of `address` is in the database, read by its claim on a
  // connection made again (the one that took it was lost before the answer came).
  bool take_landed(uint64_t address) {
    return db_->retrying([&] {
      const auto rows =
          c().query("SELECT claim FROM mac_address WHERE address = ?", {address_value(address)});
      c().commit();
      return !rows.empty() && rows[0][0] == claim_;
    });
  }

  // Locks one row with `sql`, waiting up to `wait_ms` or the database timeout, whichever is
  // longer (a database pool is held only for the moment of a take). Returns whether the row
  // exists; throws std::runtime_error with `busy` when it stayed locked.
  bool lock_row(const std::string& sql, const odbc::Params& params, uint32_t wait_ms,
                const std::string& busy) {
    const uint32_t bound = std::max(wait_ms, database_timeout_ms());
    try {
      return !c().query(sql, params, bound).empty();
    } catch (const odbc::Error& e) {
      if (!db_->dialect().timed_out(e.sqlstate)) throw;
      c().rollback();
      throw std::runtime_error(busy + " (waited " + std::to_string(bound / 1000) + " s)");
    }
  }

  // Work under the pool's lock fails as a whole when the connection goes (TransientError: the
  // provision starts again); other work is tried again on a new connection and committed.
  template <class Work>
  auto guarded(Work work) -> decltype(work()) {
    if (!locked_)
      return db_->retrying([&] {
        auto result = work();
        c().commit();
        return result;
      });
    try {
      return work();
    } catch (const odbc::Error& e) {
      fail(e);
    }
  }

  [[noreturn]] void fail(const odbc::Error& e) {
    c().rollback();
    locked_ = false;
    if (e.connection_lost()) {
      c().close();
      throw TransientError(db_->error(e, "the database connection was lost").what());
    }
    throw db_->error(e, "the database refused the tool's request");
  }

  std::vector<Range> read_ranges() {
    std::vector<Range> ranges;
    for (const odbc::Row& r :
         c().query("SELECT first_address, last_address FROM mac_pool_range WHERE pool_name = ? "
                   "ORDER BY position",
                   {Value::of(pool_)}))
      ranges.push_back({as_address(r[0]), as_address(r[1])});
    return ranges;
  }

  // Takes without an outcome whose station no longer holds them are under review.
  void sweep() {
    const auto abandoned = c().query(
        "SELECT address, serial FROM mac_address WHERE pool_name = ? AND state = 'taken'" +
            db_->dialect().skip_locked,
        {Value::of(pool_)});
    for (const odbc::Row& r : abandoned) {
      const uint64_t a = as_address(r[0]);
      if (held_ == a) continue;
      c().execute(
          "UPDATE mac_address SET state = 'review', changed_at = CURRENT_TIMESTAMP "
          "WHERE address = ?",
          {address_value(a)});
      json event = review_event(a);
      event["serial"] = r[1].value_or("");
      event["reason"] = "the station that took it left no outcome";
      insert_event(a, event);
    }
  }

  Snapshot load(const Focus& focus) {
    sweep();
    const auto pool =
        c().query("SELECT warn_below FROM mac_pool WHERE pool_name = ?", {Value::of(pool_)});
    if (pool.empty()) throw missing();
    Snapshot s;
    s.partial = true;
    s.warn_below = as_address(pool[0][0]);
    s.ranges = read_ranges();
    for (const Range& r : s.ranges) s.counts.total += r.size();
    uint64_t in_pool = 0;
    for (const odbc::Row& r :
         c().query("SELECT state, COUNT(*) FROM mac_address WHERE pool_name = ? GROUP BY state",
                   {Value::of(pool_)})) {
      const uint64_t n = as_address(r[1]);
      const std::string state = r[0].value_or("");
      in_pool += n;
      if (state == "ok") s.counts.ok += n;
      if (state == "failed") s.counts.failed += n;
      if (state == "scrap") s.counts.scrap += n;
      if (state == "taken" || state == "review") s.counts.review += n;
    }
    s.counts.free = s.counts.total > in_pool ? s.counts.total - in_pool : 0;
    size_t order = 0;
    for (const odbc::Row& r : c().query(
             "SELECT address, serial, station, state, taken_at FROM mac_address "
             "WHERE pool_name = ? AND (state IN ('taken', 'review') OR serial = ? OR address = ?) "
             "ORDER BY taken_at, address",
             {Value::of(pool_), Value::of(focus.serial),
              Value::of(focus.address ? int64_t(*focus.address) : int64_t(-1))})) {
      Entry e;
      e.address = as_address(r[0]);
      e.serial = r[1].value_or("");
      e.station = r[2].value_or("");
      const std::string state = r[3].value_or("");
      e.state = state == "ok"       ? State::Ok
                : state == "failed" ? State::Failed
                : state == "scrap"  ? State::Scrap
                                    : State::Review;
      e.in_progress = state == "taken";  // after the sweep: its station holds it
      e.time = db::iso_time(r[4]);
      e.order = order++;
      s.entries[e.address] = e;
    }
    // The first range, in the order added, with an address never taken; in it, the lowest.
    for (size_t i = 0; i < s.ranges.size() && s.counts.free > 0 && !s.next_free; ++i) {
      const Range& r = s.ranges[i];
      const auto free = c().query(
          "SELECT MIN(c.a) FROM (SELECT CAST(? AS BIGINT) AS a FROM talvenctl_schema "
          "UNION ALL SELECT t.address + 1 FROM mac_address t WHERE t.address BETWEEN ? AND ?) c "
          "WHERE c.a <= ? AND NOT EXISTS (SELECT 1 FROM mac_address u WHERE u.address = c.a)",
          {address_value(r.first), address_value(r.first), address_value(r.last),
           address_value(r.last)});
      if (!free.empty() && free[0][0]) s.next_free = as_address(free[0][0]);
    }
    return s;
  }

  void insert_event(uint64_t address, const json& event) {
    const std::string serial = event.value("serial", std::string());
    c().execute(
        "INSERT INTO mac_event (address, pool_name, event, serial, station, recorded_at, detail) "
        "VALUES (?, ?, ?, ?, ?, CURRENT_TIMESTAMP, ?)",
        {address_value(address), Value::of(pool_), Value::of(event.value("event", std::string())),
         serial.empty() ? Value::null() : Value::of(serial), Value::of(station_name()),
         Value::of(event.dump())});
  }

  void take(uint64_t address, const json& event, const std::string& hook) {
    if (!locked_) throw std::logic_error("a take without the pool's lock");
    claim_ = new_claim();
    try {
      c().execute(
          "INSERT INTO mac_address (address, address_text, pool_name, serial, station, state, "
          "claim, taken_at, changed_at) "
          "VALUES (?, ?, ?, ?, ?, 'taken', ?, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)",
          {address_value(address), Value::of(mac_text(address)), Value::of(pool_),
           Value::of(event.value("serial", std::string())), Value::of(station_name()),
           Value::of(claim_)});
      insert_event(address, event);
      test_abort_point("database-take-before-commit");
      if (test_fail_point(hook.c_str()))
        throw std::runtime_error("cannot write to the database (test hook)");
    } catch (const odbc::Error& e) {
      if (e.sqlstate == "23505") {  // unique_violation: the server refuses a second row
        c().rollback();
        locked_ = false;
        throw OperationError("mac provision", 0,
                             "the database refuses to hand out " + mac_text(address) +
                                 " again: it is already taken (" + e.what() + ")");
      }
      fail(e);
    }
    try {
      c().commit();
    } catch (const odbc::Error& e) {
      locked_ = false;
      c().rollback();
      if (!e.connection_lost()) throw db_->error(e, "cannot record the take");
      c().close();
      // The answer was lost with the connection: whether the take landed, only its claim tells.
      if (!take_landed(address))
        throw TransientError(db_->error(e, "the take was not recorded").what());
    }
    locked_ = false;
    // Held until the outcome: a reader that finds the row free knows its station is gone. The
    // row is read back with its claim before the board is written, so that a commit the driver
    // answered for a connection that was dying cannot pass for one that landed.
    try {
      const auto rows = c().query("SELECT claim FROM mac_address WHERE address = ? FOR UPDATE",
                                  {address_value(address)});
      if (rows.empty() || rows[0][0] != claim_) {
        c().rollback();
        throw TransientError("the take of " + mac_text(address) + " did not land");
      }
    } catch (const odbc::Error& e) {
      c().rollback();
      if (!e.connection_lost()) throw db_->error(e, "cannot read the take back");
      c().close();
      // Landed but not held: the outcome connects again, and finds it taken or under review.
      if (!take_landed(address))
        throw TransientError(db_->error(e, "the take was not recorded").what());
    }
    held_ = address;
  }

  void finish(uint64_t address, State outcome, const json& event, const std::string& hook) {
    db_->retrying([&] {
      const int64_t changed = c().execute(
          "UPDATE mac_address SET state = ?, changed_at = CURRENT_TIMESTAMP "
          "WHERE address = ? AND claim = ? AND state IN ('taken', 'review')",
          {Value::of(state_name(outcome)), address_value(address), Value::of(claim_)});
      if (changed == 0) {
        const auto rows = c().query("SELECT state, claim FROM mac_address WHERE address = ?",
                                    {address_value(address)});
        c().rollback();
        // A commit whose answer was lost with its connection has recorded it already.
        if (!rows.empty() && rows[0][0] == state_name(outcome) && rows[0][1] == claim_) return true;
        throw std::runtime_error(mac_text(address) + " is '" +
                                 (rows.empty() ? "missing" : rows[0][0].value_or("")) +
                                 "' in the database, no longer awaiting this station's outcome");
      }
      insert_event(address, event);
      if (test_fail_point(hook.c_str()))
        throw std::runtime_error("cannot write to the database (test hook)");
      c().commit();
      return true;
    });
    held_.reset();
  }

  void settle(uint64_t address, State outcome, const json& event, const std::string& hook) {
    locked_ = false;  // the retry below needs no lock: the update checks the state itself
    db_->retrying([&] {
      const int64_t changed = c().execute(
          "UPDATE mac_address SET state = ?, changed_at = CURRENT_TIMESTAMP "
          "WHERE address = ? AND pool_name = ? AND state = 'review'",
          {Value::of(state_name(outcome)), address_value(address), Value::of(pool_)});
      if (changed == 0) {
        const auto rows =
            c().query("SELECT state FROM mac_address WHERE address = ?", {address_value(address)});
        c().rollback();
        // A commit whose answer was lost with its connection has settled it already.
        if (!rows.empty() && rows[0][0] == state_name(outcome)) return true;
        throw UsageError(mac_text(address) + " is no longer under review");
      }
      json full = event;
      insert_event(address, full);
      if (test_fail_point(hook.c_str()))
        throw std::runtime_error("cannot write to the database (test hook)");
      c().commit();
      return true;
    });
  }

  std::shared_ptr<db::Database> db_;
  std::string pool_;
  bool locked_ = false;           // a transaction holds the pool's row
  std::optional<uint64_t> held_;  // a transaction holds this address's row until its outcome
  std::string claim_;
};

}  // namespace

std::unique_ptr<Backend> open_database_pool(const std::string& connection_string) {
  const std::string name =
      odbc::connection_attribute(connection_string, "pool").value_or("default");
  if (name.empty() || name.size() > 64 || std::any_of(name.begin(), name.end(), [](char ch) {
        return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F;
      }))
    throw UsageError("bad pool name '" + name + "' (1 to 64 printable characters)");
  return std::make_unique<DatabasePool>(
      db::shared(odbc::without_attribute(connection_string, "pool"), "pool"), name);
}

}  // namespace pool
}  // namespace talvenctl
