// talvenctl: the station database, reached through ODBC (odbc.h): its connection, its
// versioned schema (docs/station-database.md describes it for a factory's MES) and the few
// statements that differ between database servers (Dialect, the one place that knows
// PostgreSQL). The pool (pool_database.cpp) and the results (results.cpp) build on it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "odbc.h"
#include "tool.h"

namespace talvenctl {
namespace db {

// The schema this talvenctl reads and writes. A database at a newer version is refused; one at
// an older version is brought up to date by `talvenctl db migrate`.
constexpr int kSchemaVersion = 1;

// What differs between servers. Everything else the tool sends is standard SQL.
struct Dialect {
  std::string server;     // as the driver names it (SQL_DBMS_NAME)
  std::string long_text;  // a column type for text of any length (the JSON objects)
  // Appended to a SELECT: lock the rows that no other session holds, skip those held.
  std::string skip_locked;
  // Run on each new connection: the session's time zone (UTC), and how long a session may
  // sit in an open transaction (a station whose network died) before the server ends it.
  std::vector<std::string> session;
  // A statement that ran out of time (a lock that stayed taken).
  bool timed_out(const std::string& sqlstate) const;
};

class Database {
 public:
  // Connects (trying again while the server refuses connections, within the database timeout)
  // and checks the schema: none, or a newer or older
  // version, is refused with UsageError (unless `for_migration`). Cannot connect:
  // DatabaseError (unreachable). `connection_string` carries no talvenctl attribute.
  Database(std::string connection_string, bool for_migration = false);

  odbc::Connection& conn() { return conn_; }
  const Dialect& dialect() const { return dialect_; }
  // The connection string without its password, for messages.
  std::string where() const { return odbc::redacted(connection_string_); }
  int version() const { return version_; }

  // Connects again when the connection was lost, trying until `deadline` (monotonic_ms; 0:
  // the database timeout from now) has passed; then throws DatabaseError (unreachable).
  void ensure_connected(uint64_t deadline = 0);
  // Runs `work` (statements ending in a commit); when the connection is lost on the way, it
  // is rolled back, the connection made again and `work` run again, until the database timeout
  // has passed. Other errors propagate after a rollback.
  template <class Work>
  auto retrying(Work work) -> decltype(work());

  // The database's answer as a DatabaseError (unreachable when the connection was lost).
  DatabaseError error(const odbc::Error& e, const std::string& what) const;

 private:
  void connect(uint64_t deadline);
  void check_schema(bool for_migration);

  std::string connection_string_;
  odbc::Connection conn_;
  Dialect dialect_;
  int version_ = 0;
};

// One connection per connection string and purpose for the whole process: the pool's checks
// and its work share one, the results another (their transactions never mix).
std::shared_ptr<Database> shared(const std::string& connection_string, const std::string& purpose);

// `db init`: creates the schema in a database that has none; `db migrate`: brings an older one
// to kSchemaVersion. Both refuse a newer one.
Report init(const std::string& connection_string);
Report migrate(const std::string& connection_string);

// "2024-05-01 12:00:00.123" (a timestamp in UTC, as the session reads it) -> "2024-05-01T12:00:00Z"
std::string iso_time(const std::optional<std::string>& text);

template <class Work>
auto Database::retrying(Work work) -> decltype(work()) {
  const uint64_t deadline = monotonic_ms() + database_timeout_ms();
  for (uint32_t pause = 50;; pause = pause < 1000 ? pause * 2 : 1000) {
    try {
      ensure_connected(deadline);
      return work();
    } catch (const odbc::Error& e) {
      conn_.rollback();
      if (!e.connection_lost()) throw error(e, "the database refused the tool's request");
      conn_.close();
      if (monotonic_ms() >= deadline || !sleep_interruptible(pause))
        throw error(e, "the database connection was lost");
    } catch (...) {
      conn_.rollback();
      throw;
    }
  }
}

}  // namespace db
}  // namespace talvenctl
