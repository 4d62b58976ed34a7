// talvenctl: a board's test results. `talvenctl run RECIPE --serial SN` records every command
// it runs, as the JSON object the command prints, and the run's summary last: in the station
// database (table test_result) when one is configured, else in a JSON Lines file, one line a
// result:
//   {"serial":SN,"run":ID,"step":N,"station":H,"recipe":R,"time":T,"result":{...}}
// `talvenctl results SN` shows a board's history from either. A result the database cannot
// take (its connection stays lost past the timeout) is kept in talvenctl-results.jsonl in the
// current folder, with every later result of the run, and the run says so and fails.
#include <chrono>
#include <map>
#include <random>

#include "db.h"
#include "pool.h"
#include "results.h"

namespace talvenctl {
namespace {

constexpr char kLocalResults[] = "talvenctl-results.jsonl";

std::string new_run_id() {
  std::mt19937_64 random{std::random_device{}() ^
                         uint64_t(std::chrono::system_clock::now().time_since_epoch().count())};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return buf;
}

void append_line(const std::string& file, const json& line) {
  LockedFile f;
  f.open(file, true, 30000);
  f.append_line(line.dump());
}

std::string where_text(const std::string& where) {
  return odbc::is_connection_string(where) ? odbc::redacted(where) : where;
}

}  // namespace

ResultRecorder::ResultRecorder(std::string where, std::string serial, std::string recipe)
    : where_(std::move(where)),
      serial_(std::move(serial)),
      recipe_(std::move(recipe)),
      run_(new_run_id()) {
  pool::check_serial(serial_);
  // The database is reached, and its schema checked, before the recipe runs.
  if (odbc::is_connection_string(where_))
    db_ = db::shared(odbc::without_attribute(where_, "pool"), "results");
}

std::string ResultRecorder::where() const {
  return where_text(where_);
}

void ResultRecorder::record(const json& result) {
  ++step_;
  const json line = {{"serial", serial_}, {"run", run_},
                     {"step", step_},     {"station", station_name()},
                     {"recipe", recipe_}, {"time", utc_timestamp(false)},
                     {"result", result}};
  try {
    if (!problem_.empty()) {
      // The database was lost earlier in this run: the rest goes beside the station at once.
      throw std::runtime_error("the database could not take an earlier result");
    } else if (!db_) {
      append_line(where_, line);
    } else {
      const bool ok = result.value("ok", false);
      const json line_number = result.value("line", json());
      db_->retrying([&] {
        try {
          db_->conn().execute(
              std::string("INSERT INTO test_result (run_id, serial, station, recipe, step, line, "
                          "command, ok, exit_status, recorded_at, result) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?, ") +
                  (ok ? "TRUE" : "FALSE") + ", ?, CURRENT_TIMESTAMP, ?)",
              {odbc::Value::of(run_), odbc::Value::of(serial_), odbc::Value::of(station_name()),
               odbc::Value::of(recipe_), odbc::Value::of(int64_t(step_)),
               line_number.is_number() ? odbc::Value::of(line_number.get<int64_t>())
                                       : odbc::Value::null(),
               odbc::Value::of(result.value("command", std::string())),
               odbc::Value::of(int64_t(result.value("exit", 0))), odbc::Value::of(result.dump())});
          if (test_fail_point("results-insert"))
            throw odbc::Error("08S01", "the connection to the database was lost (test hook)");
          db_->conn().commit();
        } catch (const odbc::Error& e) {
          // A step already there: the commit landed, and only its answer was lost.
          if (e.sqlstate != "23505") throw;
          db_->conn().rollback();
        }
        return true;
      });
    }
    ++recorded_;
  } catch (const std::exception& e) {
    // Not in the database: kept beside the station, so that nothing is lost.
    try {
      append_line(kLocalResults, line);
      ++kept_locally_;
      if (problem_.empty())
        problem_ = std::string(e.what()) + "; kept in " + kLocalResults + " instead";
    } catch (const std::exception& local) {
      ++lost_;
      if (problem_.empty())
        problem_ = std::string(e.what()) + "; nor could it be kept in " + kLocalResults + ": " +
                   local.what();
    }
  }
}

json ResultRecorder::summary() const {
  json s = {{"serial", serial_}, {"run", run_}, {"to", where()}, {"recorded", recorded_}};
  if (kept_locally_ > 0) s["kept_locally"] = {{"file", kLocalResults}, {"count", kept_locally_}};
  if (lost_ > 0) s["lost"] = lost_;
  if (!problem_.empty()) s["problem"] = problem_;
  return s;
}

void check_results(const ResultsOptions& o) {
  pool::check_serial(o.serial);
}

Report cmd_results(const ResultsOptions& o) {
  check_results(o);
  const std::string where = o.from.empty() ? configured_results() : o.from;
  // Each result line as the file keeps it, in the order recorded.
  std::vector<json> lines;
  size_t damaged = 0;
  if (odbc::is_connection_string(where)) {
    auto d = db::shared(odbc::without_attribute(where, "pool"), "results");
    d->retrying([&] {
      lines.clear();
      for (const odbc::Row& r : d->conn().query(
               "SELECT run_id, step, station, recipe, recorded_at, result FROM test_result "
               "WHERE serial = ? ORDER BY result_id",
               {odbc::Value::of(o.serial)})) {
        const json result = json::parse(r[5].value_or(""), nullptr, false);
        lines.push_back({{"run", r[0].value_or("")},
                         {"step", std::stoll(r[1].value_or("0"))},
                         {"station", r[2].value_or("")},
                         {"recipe", r[3].value_or("")},
                         {"time", db::iso_time(r[4])},
                         {"result", result.is_discarded() ? json(r[5].value_or("")) : result}});
      }
      d->conn().commit();
      return true;
    });
  } else {
    std::vector<uint8_t> raw;
    if (!read_file(where, &raw)) throw UsageError("cannot read the results file " + where);
    size_t start = 0;
    const std::string text(raw.begin(), raw.end());
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.empty()) continue;
      const json j = json::parse(line, nullptr, false);
      if (j.is_discarded() || !j.is_object()) {
        ++damaged;
        continue;
      }
      if (j.value("serial", "") == o.serial) lines.push_back(j);
    }
  }

  // Grouped by run, in the order the runs began.
  json runs = json::array();
  std::map<std::string, size_t> index;
  for (const json& l : lines) {
    const std::string run = l.value("run", "");
    auto it = index.find(run);
    if (it == index.end()) {
      it = index.emplace(run, runs.size()).first;
      runs.push_back({{"run", run},
                      {"station", l.value("station", "")},
                      {"recipe", l.value("recipe", "")},
                      {"time", l.value("time", "")},
                      {"steps", json::array()}});
    }
    runs[it->second]["steps"].push_back(l.value("result", json::object()));
  }
  Report rep;
  rep.line("serial " + o.serial + ": " + std::to_string(runs.size()) + " run(s) in " +
           where_text(where));
  for (json& run : runs) {
    const json& last = run["steps"].back();
    // A run's summary ("command":"run") is its last result; a run cut short has none.
    const bool complete = last.value("command", "") == "run";
    run["complete"] = complete;
    run["ok"] = complete && last.value("ok", false);
    rep.line(run["time"].get<std::string>() + " " + run["station"].get<std::string>() + " " +
             run["recipe"].get<std::string>() + ": " +
             (complete ? (run["ok"].get<bool>() ? "ok" : "FAILED") : "no summary (cut short)"));
    for (const json& step : run["steps"]) {
      if (step.value("command", "") == "run") continue;
      std::string text = "  ";
      if (step.contains("line")) text += "line " + step["line"].dump() + " ";
      text += step.value("command", "?") + ": " + (step.value("ok", false) ? "ok" : "FAILED");
      if (step.contains("error") && step["error"].is_object())
        text += " (" + step["error"].value("message", "") + ")";
      rep.line(text);
    }
  }
  rep.data = {{"serial", o.serial}, {"from", where_text(where)}, {"runs", runs}};
  if (damaged > 0) rep.data["damaged_lines"] = damaged;
  return rep;
}

}  // namespace talvenctl
