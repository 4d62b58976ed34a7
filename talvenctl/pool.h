// talvenctl: MAC address pools. What a pool means is defined here once: its events, the state
// of each address they give, which address a provision takes for a serial, what may be settled
// and how many addresses are left. Where a pool lives is a Backend: the local pool file with its
// journal (pool_journal.cpp) for one station, or a database that many stations share
// (pool_database.cpp); open_pool() chooses between them.
//
// The events, as JSON objects (a journal line each, or a row each):
//   {"event":"take","address":A,"serial":S,"station":H,"time":T[,"force":true,"replaces":[A..]]}
//     before the EEPROM write; from then on A is spent, whatever happens next.
//   {"event":"outcome","address":A,"outcome":"ok"|"failed","time":T,...}
//     once the write was verified (ok) or failed.
//   {"event":"reissue","address":A,"serial":S,"station":H,"time":T,"result":"ok"|"failed",...}
//     a serial that already had A got it again (written, or found on the board).
//   {"event":"settle","address":A,"outcome":"ok"|"failed"|"scrap","time":T}
//     `mac pool review` settled an address whose outcome was unknown.
//   {"event":"review","address":A,"time":T}
//     a database found the station that took A gone without an outcome (a journal needs no
//     such line: under its lock every take without an outcome is one).
// An address taken without an outcome is under review (the process died between take and
// outcome): it is never handed out again, and only `mac pool review` settles it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tool.h"

namespace talvenctl {
namespace pool {

struct Range {
  uint64_t first = 0, last = 0;
  uint64_t size() const { return last - first + 1; }
  bool overlaps(const Range& o) const { return first <= o.last && o.first <= last; }
};

// The state of a spent address. Review: taken, outcome unknown.
enum class State { Review, Ok, Failed, Scrap };
const char* state_name(State s);

struct Entry {
  uint64_t address = 0;
  std::string serial, station, time;
  State state = State::Review;
  size_t order = 0;          // position of its take among all takes
  bool in_progress = false;  // under review because its station is still writing it
};

struct Counts {
  uint64_t total = 0, ok = 0, failed = 0, scrap = 0, review = 0, free = 0;
};

struct Snapshot {
  std::vector<Range> ranges;
  std::map<uint64_t, Entry> entries;  // every address ever taken (see `partial`)
  uint64_t warn_below = 0;            // the pool's low-pool threshold (0: none)
  size_t torn_lines = 0;              // journal lines cut short by a crash
  // A backend that keeps its pool elsewhere (a database) reads only the entries a command
  // needs: those under review and those of the Focus. It then gives what the full entries
  // would: the counts, and the address a new take gets (next_free, by first_free's rule).
  bool partial = false;
  Counts counts;
  std::optional<uint64_t> next_free;
};

// The entries a command needs beyond those under review (see Snapshot::partial).
struct Focus {
  std::string serial;
  std::optional<uint64_t> address;
};

// What an event changes: the address it concerns, whether it takes it, and the state it
// leaves the address in (nullopt: unchanged). The one place events get their meaning; apply()
// folds it into a snapshot and the database backend into its rows.
struct Change {
  uint64_t address = 0;
  bool take = false;
  std::optional<State> state;
};
// Throws UsageError for an event that is not one (no address, unknown kind or outcome).
Change change_of(const json& event);

// Folds one event into the snapshot (the journal backend replays its lines through this).
void apply(Snapshot* s, const json& event);

// Event constructors, the only place events are made.
json take_event(uint64_t address, const std::string& serial, bool force,
                const std::vector<uint64_t>& replaces);
json outcome_event(uint64_t address, bool ok, const json& detail);
json reissue_event(uint64_t address, const std::string& serial, bool ok, const json& detail);
json settle_event(uint64_t address, State outcome);
json review_event(uint64_t address);

// The address a new take gets: the lowest address never taken of the first range, in the
// order the ranges were added, that has one.
std::optional<uint64_t> first_free(const Snapshot& s);

// What a provision does for a serial.
struct Plan {
  bool reuse = false;  // the serial's own address again (no new take)
  uint64_t address = 0;
  std::vector<uint64_t> replaces;  // --force: the serial's earlier addresses
};
// A serial provisioned before (outcome ok) gets its address back; one whose address is under
// review is refused until it is settled; `force` takes a new address whatever the serial had.
// Throws UsageError (refused) or OperationError (no free address). The snapshot must hold the
// serial's entries (Focus::serial).
Plan plan_provision(const Snapshot& s, const std::string& serial, bool force);

// A review may settle an address under review only, and not while its station still writes it.
State parse_outcome(const std::string& text);  // ok, failed, scrap; throws UsageError
void check_settle(const Snapshot& s, uint64_t address);

Counts count(const Snapshot& s);
json review_list(const Snapshot& s);
// The range refused as a pool range (multicast, broadcast, reversed, crossing first bytes).
Range parse_range(const std::string& first, const std::string& last);
void check_serial(const std::string& serial);

// A backend lost its connection before anything was recorded: the work can be done again.
struct TransientError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where a pool lives.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string name() const = 0;
  // "journal" or "database": names what failed when an event could not be recorded.
  virtual std::string kind() const = 0;
  // Where the pool lives, for reports: {"file":..,"journal":..} or {"pool":..,"database":..}.
  virtual json describe() const = 0;
  // What --pool takes to name this pool again (a database's without its password).
  virtual std::string argument() const = 0;
  // Creates the pool, or adds a range to it, under the pool's lock (waiting up to `wait_ms`)
  // and whatever lock guards its neighbours; refuses a range that overlaps one of this pool or
  // of a neighbour (UsageError). `warn_below` (when not null) becomes the pool's low-pool
  // threshold. Returns the pool's ranges.
  virtual std::vector<Range> add_range(const Range& range, const uint64_t* warn_below,
                                       uint32_t wait_ms) = 0;
  // Takes the pool's lock for this process, waiting up to `wait_ms`; throws
  // std::runtime_error when it stays taken, UsageError when the pool is not usable (missing,
  // its journal lost or replaced), TransientError when it may be tried again.
  virtual void lock(uint32_t wait_ms) = 0;
  // The pool as it is now; works with and without the lock (status while another provisions).
  // A database reads the entries under review and those of `focus` (Snapshot::partial).
  // Throws UsageError when the pool is not usable, TransientError (see lock).
  virtual Snapshot read(const Focus& focus) = 0;
  // An event, durable when this returns: under the lock, or (outcome, reissue) for the address
  // this process took or reissues. A take that was not recorded throws TransientError when it
  // may be tried again; otherwise std::runtime_error. A database ends the lock with a take.
  virtual void record(const json& event) = 0;
  // The ranges of the other pools this one must not overlap (the pools of the same folder).
  virtual std::vector<std::pair<std::string, Range>> neighbours() = 0;
};

// The pool named by --pool (or the pool commands' POOL), else by the station's configuration:
// an ODBC connection string (Driver=..., DSN=...) is a pool in that database, anything else a
// pool file with its journal. The one place where the backend is chosen; throws UsageError
// when no pool is named.
std::unique_ptr<Backend> open_pool(const std::string& where);
// The pool file FILE with its journal FILE.journal, among the pools of its folder.
std::unique_ptr<Backend> open_journal_pool(const std::string& file);
// The pool named by the connection string's Pool= attribute ("default" without one) in the
// database it connects to.
std::unique_ptr<Backend> open_database_pool(const std::string& connection_string);

}  // namespace pool
}  // namespace talvenctl
