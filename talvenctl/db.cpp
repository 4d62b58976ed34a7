// talvenctl: the station database (db.h): connection, dialect, schema and its migrations.
#include "db.h"

#include <map>

#ifndef TALVENCTL_VERSION
#define TALVENCTL_VERSION "0"
#endif

namespace talvenctl {
namespace db {
namespace {

// ---- The one place that knows PostgreSQL ----
Dialect postgresql(const std::string& server) {
  Dialect d;
  d.server = server;
  d.long_text = "TEXT";
  d.skip_locked = " FOR UPDATE SKIP LOCKED";
  d.session = {
      "SET TIME ZONE 'UTC'",
      // A session left in a transaction (a station that lost its network while it wrote a
      // board) holds its address's row; the server ends it after a minute, and the address
      // is then found under review.
      "SET idle_in_transaction_session_timeout = 60000",
  };
  return d;
}
// Ranges of all pools never overlap: checked by the tool under a lock, and kept by the
// server as well where it can (here an exclusion constraint on the ranges as intervals).
std::vector<std::string> postgresql_schema_extras() {
  return {
      "ALTER TABLE mac_pool_range ADD CONSTRAINT mac_pool_range_disjoint EXCLUDE USING gist "
      "(int8range(first_address, last_address, '[]') WITH &&)",
  };
}
// ---- end of PostgreSQL ----

// migrations(d)[i] brings the schema from version i to version i + 1; version 0 is a database
// without the schema. docs/station-database.md describes each table.
std::vector<std::vector<std::string>> migrations(const Dialect& d) {
  std::vector<std::string> v1 = {
      "CREATE TABLE talvenctl_schema ("
      " id INTEGER NOT NULL PRIMARY KEY,"
      " version INTEGER NOT NULL,"
      " changed_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " changed_by VARCHAR(255) NOT NULL,"
      " CHECK (id = 1))",
      "CREATE TABLE mac_pool ("
      " pool_name VARCHAR(64) NOT NULL PRIMARY KEY,"
      " warn_below BIGINT NOT NULL,"
      " created_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " created_by VARCHAR(255) NOT NULL)",
      "CREATE TABLE mac_pool_range ("
      " pool_name VARCHAR(64) NOT NULL REFERENCES mac_pool (pool_name),"
      " position INTEGER NOT NULL,"
      " first_address BIGINT NOT NULL,"
      " last_address BIGINT NOT NULL,"
      " first_text CHAR(17) NOT NULL,"
      " last_text CHAR(17) NOT NULL,"
      " added_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " added_by VARCHAR(255) NOT NULL,"
      " PRIMARY KEY (pool_name, position),"
      " CHECK (first_address <= last_address))",
      "CREATE TABLE mac_address ("
      " address BIGINT NOT NULL PRIMARY KEY,"
      " address_text CHAR(17) NOT NULL UNIQUE,"
      " pool_name VARCHAR(64) NOT NULL REFERENCES mac_pool (pool_name),"
      " serial VARCHAR(64) NOT NULL,"
      " station VARCHAR(255) NOT NULL,"
      " state VARCHAR(8) NOT NULL,"
      " claim CHAR(32) NOT NULL,"
      " taken_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " changed_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " CHECK (state IN ('taken', 'ok', 'review', 'failed', 'scrap')))",
      "CREATE INDEX mac_address_by_serial ON mac_address (serial)",
      "CREATE INDEX mac_address_by_pool_state ON mac_address (pool_name, state)",
      "CREATE TABLE mac_event ("
      " event_id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
      " address BIGINT NOT NULL REFERENCES mac_address (address),"
      " pool_name VARCHAR(64) NOT NULL,"
      " event VARCHAR(16) NOT NULL,"
      " serial VARCHAR(64),"
      " station VARCHAR(255) NOT NULL,"
      " recorded_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " detail " +
          d.long_text + " NOT NULL)",
      "CREATE INDEX mac_event_by_address ON mac_event (address)",
      "CREATE TABLE test_result ("
      " result_id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
      " run_id CHAR(32) NOT NULL,"
      " serial VARCHAR(64) NOT NULL,"
      " station VARCHAR(255) NOT NULL,"
      " recipe VARCHAR(1024) NOT NULL,"
      " step INTEGER NOT NULL,"
      " line INTEGER,"
      " command VARCHAR(64) NOT NULL,"
      " ok BOOLEAN NOT NULL,"
      " exit_status INTEGER NOT NULL,"
      " recorded_at TIMESTAMP WITH TIME ZONE NOT NULL,"
      " result " +
          d.long_text +
          " NOT NULL,"
          " UNIQUE (run_id, step))",
      "CREATE INDEX test_result_by_serial ON test_result (serial)",
  };
  if (d.server == "PostgreSQL")
    for (const std::string& extra : postgresql_schema_extras()) v1.push_back(extra);
  return {v1};
}

std::string who() {
  return station_name() + " (talvenctl " + TALVENCTL_VERSION + ")";
}

}  // namespace

bool Dialect::timed_out(const std::string& sqlstate) const {
  // 57014: a statement cancelled by its timeout; 55P03: a lock not available; HYT00: ODBC's
  // own timeout.
  return sqlstate == "57014" || sqlstate == "55P03" || sqlstate == "HYT00";
}

Database::Database(std::string connection_string, bool for_migration)
    : connection_string_(std::move(connection_string)) {
  ensure_connected();
  check_schema(for_migration);
}

DatabaseError Database::error(const odbc::Error& e, const std::string& what) const {
  return DatabaseError(what + " (" + where() + "): " + e.what(), e.sqlstate, e.connection_lost());
}

void Database::connect(uint64_t deadline) {
  try {
    const uint64_t now = monotonic_ms();
    conn_.open(connection_string_, uint32_t(deadline > now + 1000 ? deadline - now : 1000));
  } catch (const odbc::Error& e) {
    throw DatabaseError("cannot connect to the database " + where() + ": " + e.what(), e.sqlstate,
                        true);
  }
  try {
    const std::string server = conn_.server_name();
    if (server != "PostgreSQL")
      throw DatabaseError("the database server is " + server +
                              "; talvenctl speaks PostgreSQL's SQL only (its dialect, in db.cpp, "
                              "is where another server would be added)",
                          "", false);
    dialect_ = postgresql(server);
    for (const std::string& statement : dialect_.session) conn_.execute(statement);
    conn_.commit();
  } catch (const odbc::Error& e) {
    conn_.close();
    throw error(e, "cannot prepare the database session");
  }
}

void Database::ensure_connected(uint64_t deadline) {
  if (conn_.is_open()) return;
  if (deadline == 0) deadline = monotonic_ms() + database_timeout_ms();
  // A server that refuses connections now (down, restarting, shutting down) is asked again
  // until the deadline; a driver that cannot be loaded, or refused credentials, are not.
  for (uint32_t pause = 50;; pause = pause < 1000 ? pause * 2 : 1000) {
    try {
      connect(deadline);
      return;
    } catch (const DatabaseError& e) {
      if (!odbc::connection_lost(e.sqlstate) || monotonic_ms() >= deadline ||
          !sleep_interruptible(pause))
        throw;
    }
  }
}

void Database::check_schema(bool for_migration) {
  version_ = 0;
  try {
    const auto rows = conn_.query("SELECT version FROM talvenctl_schema WHERE id = 1");
    if (!rows.empty() && rows[0][0]) version_ = std::stoi(*rows[0][0]);
    conn_.commit();
  } catch (const odbc::Error& e) {
    conn_.rollback();
    // 42P01 (PostgreSQL) or 42S02 (ODBC): no such table, so no schema yet.
    if (e.sqlstate != "42P01" && e.sqlstate != "42S02")
      throw error(e, "cannot read the schema's version");
  }
  const std::string mine = "this talvenctl reads and writes version " +
                           std::to_string(kSchemaVersion) + " (talvenctl " + TALVENCTL_VERSION +
                           ")";
  if (version_ > kSchemaVersion)
    throw UsageError("the database " + where() + " holds talvenctl schema version " +
                     std::to_string(version_) + ", newer than " + mine +
                     ": nothing is read or written; update talvenctl on this station");
  if (for_migration) return;
  if (version_ == 0)
    throw UsageError("the database " + where() +
                     " holds no talvenctl schema: create it with 'talvenctl db init'");
  if (version_ < kSchemaVersion)
    throw UsageError("the database " + where() + " holds talvenctl schema version " +
                     std::to_string(version_) + ", older than " + mine +
                     ": bring it up to date with 'talvenctl db migrate'");
}

std::shared_ptr<Database> shared(const std::string& connection_string, const std::string& purpose) {
  static std::map<std::pair<std::string, std::string>, std::shared_ptr<Database>> open;
  auto& slot = open[{connection_string, purpose}];
  if (!slot) slot = std::make_shared<Database>(connection_string);
  return slot;
}

namespace {

Report schema_change(const std::string& connection_string, bool create) {
  Database d(connection_string, true);
  const int from = d.version();
  if (create && from != 0 && from < kSchemaVersion)
    throw UsageError("the database " + d.where() + " already holds talvenctl schema version " +
                     std::to_string(from) + ": bring it up to date with 'talvenctl db migrate'");
  if (!create && from == 0)
    throw UsageError("the database " + d.where() +
                     " holds no talvenctl schema: create it with 'talvenctl db init'");
  Report rep;
  rep.data = {{"database", d.where()}, {"from", from}, {"version", kSchemaVersion}};
  if (from == kSchemaVersion) {
    rep.data["changed"] = false;
    rep.line("the database " + d.where() + " holds talvenctl schema version " +
             std::to_string(from) + ": nothing to do");
    return rep;
  }
  const auto steps = migrations(d.dialect());
  try {
    for (int v = from; v < kSchemaVersion; ++v)
      for (const std::string& statement : steps[size_t(v)]) d.conn().execute(statement);
    if (from == 0)
      d.conn().execute(
          "INSERT INTO talvenctl_schema (id, version, changed_at, changed_by) "
          "VALUES (1, ?, CURRENT_TIMESTAMP, ?)",
          {odbc::Value::of(int64_t(kSchemaVersion)), odbc::Value::of(who())});
    else
      d.conn().execute(
          "UPDATE talvenctl_schema SET version = ?, changed_at = CURRENT_TIMESTAMP, "
          "changed_by = ? WHERE id = 1",
          {odbc::Value::of(int64_t(kSchemaVersion)), odbc::Value::of(who())});
    d.conn().commit();
  } catch (const odbc::Error& e) {
    d.conn().rollback();
    throw d.error(e, create ? "cannot create the schema" : "cannot migrate the schema");
  }
  rep.data["changed"] = true;
  rep.line("the database " + d.where() + " now holds talvenctl schema version " +
           std::to_string(kSchemaVersion) +
           (from == 0 ? " (created)" : " (migrated from version " + std::to_string(from) + ")"));
  return rep;
}

}  // namespace

Report init(const std::string& connection_string) {
  return schema_change(connection_string, true);
}

Report migrate(const std::string& connection_string) {
  return schema_change(connection_string, false);
}

std::string iso_time(const std::optional<std::string>& text) {
  if (!text || text->size() < 19) return text ? *text : "";
  std::string t = text->substr(0, 19);
  t[10] = 'T';
  return t + "Z";
}

}  // namespace db
}  // namespace talvenctl
