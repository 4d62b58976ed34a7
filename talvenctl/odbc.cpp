// talvenctl: the ODBC client (odbc.h). This file includes no other header of the tool: the
// ODBC headers bring Windows' types of their own on Linux.
#include "odbc.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace talvenctl {
namespace odbc {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC's wide characters are UTF-16");

SQLWCHAR* wide_ptr(std::u16string& s) {
  return reinterpret_cast<SQLWCHAR*>(s.data());
}

// Every diagnostic record of a handle: "SQLSTATE: message" joined, and the first state.
Error diagnostics(SQLSMALLINT type, SQLHANDLE handle, const std::string& what) {
  std::string state, message;
  for (SQLSMALLINT i = 1; i <= 8; ++i) {
    SQLWCHAR sqlstate[6] = {};
    SQLINTEGER native = 0;
    std::u16string text(1024, u'\0');
    SQLSMALLINT length = 0;
    const SQLRETURN r = SQLGetDiagRecW(type, handle, i, sqlstate, &native, wide_ptr(text),
                                       SQLSMALLINT(text.size()), &length);
    if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO) break;
    text.resize(std::min<size_t>(size_t(std::max<SQLSMALLINT>(length, 0)), text.size() - 1));
    std::u16string code(reinterpret_cast<const char16_t*>(sqlstate), 5);
    std::string line = narrow(code) + ": " + narrow(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (state.empty()) state = narrow(code);
    message += (message.empty() ? "" : "; ") + line;
  }
  if (message.empty()) message = "no diagnostic record";
  return Error(state, what + ": " + message);
}

bool ok(SQLRETURN r) {
  return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

// A failed statement's diagnostics, and whether the connection died with it.
Error statement_error(SQLHSTMT st, SQLHDBC dbc, const std::string& what) {
  Error e = diagnostics(SQL_HANDLE_STMT, st, what);
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (ok(SQLGetConnectAttrW(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
      dead == SQL_CD_TRUE)
    e.connection_dead = true;
  return e;
}

// A statement handle freed on every path.
struct Statement {
  SQLHSTMT h = SQL_NULL_HSTMT;
  ~Statement() {
    if (h != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, h);
  }
};

}  // namespace

bool connection_lost(const std::string& sqlstate) {
  // 08xxx: connection exceptions (08S01 the link failed); 57P01..57P03: the server is shutting
  // down or starting; HYT01: the connection timed out.
  return sqlstate.rfind("08", 0) == 0 || sqlstate.rfind("57P0", 0) == 0 || sqlstate == "HYT01";
}

bool Error::connection_lost() const {
  return connection_dead || odbc::connection_lost(sqlstate);
}

struct Connection::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
};

Connection::Connection() : h_(std::make_unique<Handles>()) {}

Connection::~Connection() {
  close();
}

bool Connection::is_open() const {
  return h_->connected;
}

void Connection::close() {
  if (h_->connected) {
    SQLEndTran(SQL_HANDLE_DBC, h_->dbc, SQL_ROLLBACK);
    SQLDisconnect(h_->dbc);
  }
  h_->connected = false;
  if (h_->dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, h_->dbc);
  if (h_->env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, h_->env);
  h_->dbc = SQL_NULL_HDBC;
  h_->env = SQL_NULL_HENV;
}

void Connection::open(const std::string& connection_string, uint32_t timeout_ms) {
  close();
  timeout_ms_ = timeout_ms;
  if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h_->env)))
    throw Error("HY001", "cannot allocate an ODBC environment (is the driver manager installed?)");
  SQLSetEnvAttr(h_->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, h_->env, &h_->dbc)))
    throw diagnostics(SQL_HANDLE_ENV, h_->env, "cannot allocate an ODBC connection");
  const SQLULEN seconds = std::max<SQLULEN>(1, (timeout_ms + 999) / 1000);
  SQLSetConnectAttrW(h_->dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  SQLSetConnectAttrW(h_->dbc, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds),
                     0);
  std::u16string in = widen(connection_string);
  std::u16string out(1024, u'\0');
  SQLSMALLINT out_length = 0;
  const SQLRETURN r =
      SQLDriverConnectW(h_->dbc, nullptr, wide_ptr(in), SQLSMALLINT(in.size()), wide_ptr(out),
                        SQLSMALLINT(out.size()), &out_length, SQL_DRIVER_NOPROMPT);
  if (!ok(r)) {
    Error e = diagnostics(SQL_HANDLE_DBC, h_->dbc, "cannot connect");
    close();
    throw e;
  }
  h_->connected = true;
  if (!ok(SQLSetConnectAttrW(h_->dbc, SQL_ATTR_AUTOCOMMIT,
                             reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
    Error e = diagnostics(SQL_HANDLE_DBC, h_->dbc, "cannot switch autocommit off");
    close();
    throw e;
  }
}

void Connection::commit() {
  if (!h_->connected) throw Error("08003", "not connected");
  const bool committed = ok(SQLEndTran(SQL_HANDLE_DBC, h_->dbc, SQL_COMMIT));
  SQLUINTEGER dead = SQL_CD_FALSE;
  const bool lost = ok(SQLGetConnectAttrW(h_->dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
                    dead == SQL_CD_TRUE;
  if (!committed) {
    Error e = diagnostics(SQL_HANDLE_DBC, h_->dbc, "commit failed");
    e.connection_dead = lost;
    throw e;
  }
  // A driver may answer a commit on a connection that died on the way as if it had landed.
  if (lost)
    throw Error("08S01", "the connection was lost at the commit: whether it landed is unknown",
                true);
}

void Connection::rollback() {
  if (h_->connected && !ok(SQLEndTran(SQL_HANDLE_DBC, h_->dbc, SQL_ROLLBACK))) close();
}

std::string Connection::server_name() {
  if (!h_->connected) throw Error("08003", "not connected");
  SQLWCHAR buf[128] = {};
  SQLSMALLINT length = 0;
  if (!ok(SQLGetInfoW(h_->dbc, SQL_DBMS_NAME, buf, sizeof buf, &length)))
    throw diagnostics(SQL_HANDLE_DBC, h_->dbc, "cannot ask the server's name");
  return narrow(
      std::u16string(reinterpret_cast<const char16_t*>(buf),
                     std::min<size_t>(size_t(std::max<SQLSMALLINT>(length, 0)) / 2, 127)));
}

std::vector<Row> Connection::run(const std::string& sql, const Params& params, uint32_t timeout_ms,
                                 int64_t* changed) {
  if (!h_->connected) throw Error("08003", "not connected");
  Statement st;
  if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, h_->dbc, &st.h)))
    throw diagnostics(SQL_HANDLE_DBC, h_->dbc, "cannot allocate a statement");
  const SQLULEN seconds =
      std::max<SQLULEN>(1, ((timeout_ms != 0 ? timeout_ms : timeout_ms_) + 999) / 1000);
  SQLSetStmtAttrW(st.h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);

  // The parameters' buffers live until the statement has run.
  std::vector<std::u16string> texts(params.size());
  std::vector<SQLBIGINT> integers(params.size());
  std::vector<SQLLEN> lengths(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    const Value& v = params[i];
    const SQLUSMALLINT n = SQLUSMALLINT(i + 1);
    SQLRETURN r = SQL_SUCCESS;
    if (v.kind == Value::Kind::Integer) {
      integers[i] = v.integer;
      lengths[i] = 0;
      r = SQLBindParameter(st.h, n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &integers[i],
                           0, &lengths[i]);
    } else if (v.kind == Value::Kind::Text) {
      texts[i] = widen(v.text);
      lengths[i] = SQLLEN(texts[i].size() * sizeof(char16_t));
      const SQLULEN column = std::max<SQLULEN>(1, texts[i].size());
      r = SQLBindParameter(st.h, n, SQL_PARAM_INPUT, SQL_C_WCHAR,
                           column > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR, column, 0,
                           wide_ptr(texts[i]), lengths[i], &lengths[i]);
    } else {
      lengths[i] = SQL_NULL_DATA;
      r = SQLBindParameter(st.h, n, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, 0, nullptr, 0,
                           &lengths[i]);
    }
    if (!ok(r)) throw diagnostics(SQL_HANDLE_STMT, st.h, "cannot bind a parameter");
  }
  std::u16string text = widen(sql);
  const SQLRETURN r = SQLExecDirectW(st.h, wide_ptr(text), SQLINTEGER(text.size()));
  *changed = 0;
  if (r == SQL_NO_DATA) return {};  // a searched UPDATE or DELETE that changed no row
  if (!ok(r)) throw statement_error(st.h, h_->dbc, "the database refused a statement");

  std::vector<Row> rows;
  SQLSMALLINT columns = 0;
  if (!ok(SQLNumResultCols(st.h, &columns)))
    throw diagnostics(SQL_HANDLE_STMT, st.h, "cannot read a result");
  if (columns == 0) {
    SQLLEN count = 0;
    if (ok(SQLRowCount(st.h, &count))) *changed = count;
    return rows;
  }
  for (;;) {
    const SQLRETURN f = SQLFetch(st.h);
    if (f == SQL_NO_DATA) break;
    if (!ok(f)) throw statement_error(st.h, h_->dbc, "cannot fetch a row");
    Row row;
    for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
      std::u16string value;
      bool null = false;
      for (;;) {
        char16_t buf[512];
        SQLLEN got = 0;
        const SQLRETURN g = SQLGetData(st.h, c, SQL_C_WCHAR, buf, sizeof buf, &got);
        if (g == SQL_NO_DATA) break;
        if (!ok(g)) throw diagnostics(SQL_HANDLE_STMT, st.h, "cannot read a column");
        if (got == SQL_NULL_DATA) {
          null = true;
          break;
        }
        const size_t room = sizeof buf / sizeof buf[0] - 1;
        const size_t units =
            got == SQL_NO_TOTAL ? room : std::min(room, size_t(got) / sizeof(char16_t));
        value.append(buf, units);
        if (g == SQL_SUCCESS) break;  // the rest follows only after a truncation
      }
      if (null)
        row.push_back(std::nullopt);
      else
        row.push_back(narrow(value));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Row> Connection::query(const std::string& sql, const Params& params,
                                   uint32_t timeout_ms) {
  int64_t changed = 0;
  return run(sql, params, timeout_ms, &changed);
}

int64_t Connection::execute(const std::string& sql, const Params& params, uint32_t timeout_ms) {
  int64_t changed = 0;
  run(sql, params, timeout_ms, &changed);
  return changed;
}

std::u16string widen(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    } else if ((c >> 4) == 14 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if ((c >> 3) == 30 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
      n = 4;
    }
    i += n;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp <= 0xFFFF ? cp : 0xFFFD);
    }
  }
  return out;
}

std::string narrow(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

namespace {
std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}
bool same_key(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}
}  // namespace

std::vector<std::pair<std::string, std::string>> split_connection_string(const std::string& s) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ';' || std::isspace(static_cast<unsigned char>(s[i]))) {  // an empty attribute
      ++i;
      continue;
    }
    const size_t eq = s.find('=', i);
    if (eq == std::string::npos) break;
    const std::string key = trim(s.substr(i, eq - i));
    size_t j = eq + 1;
    while (j < s.size() && s[j] == ' ') ++j;
    std::string value;
    if (j < s.size() && s[j] == '{') {
      const size_t close = s.find('}', j);
      value = s.substr(j, (close == std::string::npos ? s.size() : close + 1) - j);
      j = close == std::string::npos ? s.size() : close + 1;
      const size_t semi = s.find(';', j);
      j = semi == std::string::npos ? s.size() : semi + 1;
    } else {
      const size_t semi = s.find(';', j);
      value = trim(s.substr(j, (semi == std::string::npos ? s.size() : semi) - j));
      j = semi == std::string::npos ? s.size() : semi + 1;
    }
    if (!key.empty()) out.push_back({key, value});
    i = j;
  }
  return out;
}

std::optional<std::string> connection_attribute(const std::string& text, const std::string& key) {
  for (const auto& [k, v] : split_connection_string(text))
    if (same_key(k, key)) {
      if (v.size() >= 2 && v.front() == '{' && v.back() == '}') return v.substr(1, v.size() - 2);
      return v;
    }
  return std::nullopt;
}

std::string without_attribute(const std::string& text, const std::string& key) {
  std::string out;
  for (const auto& [k, v] : split_connection_string(text))
    if (!same_key(k, key)) out += k + "=" + v + ";";
  return out;
}

std::string redacted(const std::string& text) {
  std::string out;
  for (const auto& [k, v] : split_connection_string(text))
    out += k + "=" + (same_key(k, "pwd") || same_key(k, "password") ? "***" : v) + ";";
  return out;
}

bool is_connection_string(const std::string& text) {
  const auto parts = split_connection_string(text);
  if (parts.empty()) return false;
  const std::string& first = parts.front().first;
  return text.find('=') < text.find_first_of("/\\") &&
         (same_key(first, "driver") || same_key(first, "dsn") || same_key(first, "filedsn"));
}

}  // namespace odbc
}  // namespace talvenctl
