// talvenctl: MAC address pools. What a pool means is defined here once: its events, the state
// of each address they give, which address a provision takes for a serial, what may be settled
// and how many addresses are left. Where a pool lives is a Backend: the local pool file with its
// journal (pool_journal.cpp) for one station; another backend (a database shared by stations)
// implements the same interface.
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
// An address taken without an outcome is under review (the process died between take and
// outcome): it is never handed out again, and only `mac pool review` settles it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
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
  size_t order = 0;  // position of its take among all takes
};

struct Snapshot {
  std::vector<Range> ranges;
  std::map<uint64_t, Entry> entries;  // every address ever taken
  uint64_t warn_below = 0;            // the pool's low-pool threshold (0: none)
  size_t torn_lines = 0;              // journal lines cut short by a crash
};

// Folds one event into the snapshot (the journal backend replays its lines through this).
void apply(Snapshot* s, const json& event);

// Event constructors, the only place events are made.
json take_event(uint64_t address, const std::string& serial, bool force,
                const std::vector<uint64_t>& replaces);
json outcome_event(uint64_t address, bool ok, const json& detail);
json reissue_event(uint64_t address, const std::string& serial, bool ok, const json& detail);
json settle_event(uint64_t address, State outcome);

// What a provision does for a serial.
struct Plan {
  bool reuse = false;  // the serial's own address again (no new take)
  uint64_t address = 0;
  std::vector<uint64_t> replaces;  // --force: the serial's earlier addresses
};
// A serial provisioned before (outcome ok) gets its address back; one whose address is under
// review is refused until it is settled; `force` takes a new address whatever the serial had.
// Throws UsageError (refused) or OperationError (no free address).
Plan plan_provision(const Snapshot& s, const std::string& serial, bool force);

// A review may settle an address under review only.
State parse_outcome(const std::string& text);  // ok, failed, scrap; throws UsageError
void check_settle(const Snapshot& s, uint64_t address);

struct Counts {
  uint64_t total = 0, ok = 0, failed = 0, scrap = 0, review = 0, free = 0;
};
Counts count(const Snapshot& s);
json review_list(const Snapshot& s);
// The range refused as a pool range (multicast, broadcast, reversed, crossing first bytes).
Range parse_range(const std::string& first, const std::string& last);
void check_serial(const std::string& serial);

// Where a pool lives.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string name() const = 0;
  // Creates the pool, or adds a range to it, under the pool's lock (waiting up to `wait_ms`)
  // and whatever lock guards its neighbours; refuses a range that overlaps one of this pool or
  // of a neighbour (UsageError). `warn_below` (when not null) becomes the pool's low-pool
  // threshold. Returns the pool's ranges.
  virtual std::vector<Range> add_range(const Range& range, const uint64_t* warn_below,
                                       uint32_t wait_ms) = 0;
  // Takes the pool's lock for this process, waiting up to `wait_ms`; throws
  // std::runtime_error when it stays taken, UsageError when the pool is not usable (missing,
  // its journal lost or replaced).
  virtual void lock(uint32_t wait_ms) = 0;
  // The pool as it is now; works with and without the lock (status while another provisions).
  // Throws UsageError when the pool is not usable.
  virtual Snapshot read() = 0;
  // Under the lock: an event, durable when this returns; throws std::runtime_error.
  virtual void record(const json& event) = 0;
  // The ranges of the other pools this one must not overlap (the pools of the same folder).
  virtual std::vector<std::pair<std::string, Range>> neighbours() = 0;
};

// The pool named by --pool (or the pool commands' FILE): today always a pool file with its
// journal; the one place where another backend would be chosen.
std::unique_ptr<Backend> open_pool(const std::string& where);
// The pool file FILE with its journal FILE.journal, among the pools of its folder.
std::unique_ptr<Backend> open_journal_pool(const std::string& file);

}  // namespace pool
}  // namespace talvenctl
