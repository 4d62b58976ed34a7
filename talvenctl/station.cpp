// talvenctl: the station's configuration file and the database commands (tool.h).
#include "db.h"

namespace talvenctl {
namespace {

struct StationConfig {
  std::string path;
  std::string pool, results;
  uint32_t timeout_ms = 10000;
};

StationConfig& config() {
  static StationConfig c;
  return c;
}

}  // namespace

bool odbc_connection_string(const std::string& text) {
  return odbc::is_connection_string(text);
}

void set_database_timeout(const std::string& text) {
  if (!text.empty()) config().timeout_ms = parse_duration_ms(text, "timeout");
}

uint32_t database_timeout_ms() {
  return config().timeout_ms;
}

void load_station_config(const std::string& path) {
  if (path.empty()) return;
  std::vector<uint8_t> raw;
  if (!read_file(path, &raw)) throw UsageError("cannot read the station configuration " + path);
  const json j = json::parse(std::string(raw.begin(), raw.end()), nullptr, false);
  if (j.is_discarded() || !j.is_object())
    throw UsageError(path + " is not a station configuration (a JSON object)");
  StationConfig& c = config();
  c.path = path;
  for (const auto& [key, value] : j.items()) {
    if (key != "pool" && key != "results" && key != "timeout")
      throw UsageError(path + ": unknown setting \"" + key + "\" (pool, results, timeout)");
    if (!value.is_string() || value.get<std::string>().empty())
      throw UsageError(path + ": \"" + key + "\" must be a non-empty string");
  }
  c.pool = j.value("pool", "");
  c.results = j.value("results", "");
  if (j.contains("timeout"))
    c.timeout_ms = parse_duration_ms(j["timeout"].get<std::string>(), "timeout");
}

std::string configured_pool() {
  return config().pool;
}

std::string configured_results() {
  const StationConfig& c = config();
  if (!c.results.empty()) return c.results;
  if (odbc::is_connection_string(c.pool)) return odbc::without_attribute(c.pool, "pool");
  return "talvenctl-results.jsonl";
}

Report cmd_db(const DbOptions& o) {
  std::string where = o.database;
  if (where.empty()) {
    const std::string pool = configured_pool(), results = configured_results();
    where = odbc::is_connection_string(pool)      ? pool
            : odbc::is_connection_string(results) ? results
                                                  : "";
  }
  if (where.empty())
    throw UsageError(
        "no database: give its ODBC connection string, or name a database pool or results "
        "in the station configuration (--config)");
  if (!odbc::is_connection_string(where))
    throw UsageError("'" + odbc::redacted(where) +
                     "' is not an ODBC connection string (Driver=...;... or DSN=...;...)");
  where = odbc::without_attribute(where, "pool");
  return o.action == "init" ? db::init(where) : db::migrate(where);
}

}  // namespace talvenctl
