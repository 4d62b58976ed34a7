// talvenctl: a small ODBC client, the same code on Windows (odbc32) and Linux (unixODBC). Only
// the wide (W) functions are called: Wine's odbc32 implements no ANSI connect, and SQLWCHAR is
// 16 bits on both, where wchar_t is not. Text crosses as UTF-8 on this side.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvenctl {
namespace odbc {

// What ODBC reported: the SQLSTATE of the first diagnostic record and the text of all of them.
struct Error : std::runtime_error {
  Error(std::string state, const std::string& message, bool dead = false)
      : std::runtime_error(message), sqlstate(std::move(state)), connection_dead(dead) {}
  std::string sqlstate;
  // The driver says the connection is gone (SQL_ATTR_CONNECTION_DEAD), whatever the SQLSTATE
  // (psqlODBC reports a lost server as "HY000: internal SAVEPOINT failed").
  bool connection_dead = false;
  // The connection is gone or unusable (class 08, or a server shutting down): the work can be
  // tried again on a new connection.
  bool connection_lost() const;
};

// Whether a SQLSTATE says the connection is gone or cannot be made now (class 08, or a server
// shutting down or starting up).
bool connection_lost(const std::string& sqlstate);

// A parameter of a statement: NULL, a 64-bit integer or text.
struct Value {
  enum class Kind { Null, Integer, Text } kind = Kind::Null;
  int64_t integer = 0;
  std::string text;
  static Value null() { return {}; }
  static Value of(int64_t v) {
    Value x;
    x.kind = Kind::Integer;
    x.integer = v;
    return x;
  }
  static Value of(const std::string& v) {
    Value x;
    x.kind = Kind::Text;
    x.text = v;
    return x;
  }
};
using Params = std::vector<Value>;

// A row of a result, every column as text (integers in decimal); nullopt for NULL.
using Row = std::vector<std::optional<std::string>>;

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects, giving up after `timeout_ms` (the driver's login timeout, SQL_ATTR_LOGIN_TIMEOUT,
  // which psqlODBC honours); statements are bounded by the same time (SQL_ATTR_QUERY_TIMEOUT).
  // Autocommit is off: work ends with commit() or rollback(). Throws Error.
  void open(const std::string& connection_string, uint32_t timeout_ms);
  void close();
  bool is_open() const;
  void commit();
  void rollback();            // never throws; a lost connection is closed
  std::string server_name();  // SQL_DBMS_NAME, e.g. "PostgreSQL"
  // Runs one statement with `?` parameters; returns its rows (none for statements without).
  // `timeout_ms`: this statement's bound instead of the connection's (0: the connection's).
  std::vector<Row> query(const std::string& sql, const Params& params = {},
                         uint32_t timeout_ms = 0);
  // Runs one statement; returns the number of rows it changed.
  int64_t execute(const std::string& sql, const Params& params = {}, uint32_t timeout_ms = 0);

 private:
  std::vector<Row> run(const std::string& sql, const Params& params, uint32_t timeout_ms,
                       int64_t* changed);
  struct Handles;
  std::unique_ptr<Handles> h_;
  uint32_t timeout_ms_ = 0;
};

// UTF-8 <-> UTF-16 (invalid sequences become U+FFFD).
std::u16string widen(const std::string& text);
std::string narrow(const std::u16string& text);

// Connection strings: `Key=Value;...`, a value in braces may hold `;`.
std::vector<std::pair<std::string, std::string>> split_connection_string(const std::string& text);
// The value of `key` (case-insensitive), or nullopt.
std::optional<std::string> connection_attribute(const std::string& text, const std::string& key);
// The connection string without `key`, and its password hidden (for messages).
std::string without_attribute(const std::string& text, const std::string& key);
std::string redacted(const std::string& text);
// Whether `text` reads as an ODBC connection string rather than a file name: it starts with
// a Driver=, DSN= or FILEDSN= attribute.
bool is_connection_string(const std::string& text);

}  // namespace odbc
}  // namespace talvenctl
