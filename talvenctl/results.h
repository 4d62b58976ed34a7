// talvenctl: recording a recipe run's results for a board (results.cpp).
#pragma once

#include <memory>
#include <string>

#include "tool.h"

namespace talvenctl {
namespace db {
class Database;
}

// Records the JSON object of every command a run prints, and its summary, for one serial.
class ResultRecorder {
 public:
  // `where`: a JSON Lines file or an ODBC connection string (reached, and its schema checked,
  // here: throws DatabaseError or UsageError before the recipe runs).
  ResultRecorder(std::string where, std::string serial, std::string recipe);
  // Never throws: a result the database cannot take is kept in a local file (see problem()).
  void record(const json& result);
  // What was recorded where, for the run's summary.
  json summary() const;
  // Empty when every result went where it should.
  const std::string& problem() const { return problem_; }
  std::string where() const;

 private:
  std::string where_, serial_, recipe_, run_;
  std::shared_ptr<db::Database> db_;
  int64_t step_ = 0;
  size_t recorded_ = 0, kept_locally_ = 0, lost_ = 0;
  std::string problem_;
};

}  // namespace talvenctl
