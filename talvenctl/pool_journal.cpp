// talvenctl: the local pool backend, for one station. A pool is a JSON file of address ranges;
// beside it, FILE.journal holds one JSON line per event (pool.h), each flushed to the disk
// before the tool goes on. Its first line names the pool:
//   {"event":"pool","pool_id":ID,"time":T}
// and the pool file carries the same ID, so that a pool whose journal was lost, moved away or
// replaced refuses to run instead of handing out its addresses again. Two more kinds of line:
//   {"event":"torn","line":N}
//     closes line N, cut short by a crash (its entry never reached the disk whole, so no
//     adapter was written after it); any other damaged line stops provisioning.
// The journal is the pool's lock: a provision, a review and a range being added hold it. The
// pools of one folder are a station's pools: adding a range takes the folder's lock
// (.talvenctl-pools.lock) as well and refuses a range that overlaps another pool's.
#include <chrono>
#include <random>
#include <sstream>

#include "pool.h"

namespace talvenctl {
namespace pool {
namespace {

constexpr char kFormat[] = "talvenctl-mac-pool";
constexpr char kFolderLock[] = ".talvenctl-pools.lock";

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string new_pool_id() {
  std::mt19937_64 random{std::random_device{}() ^
                         uint64_t(std::chrono::system_clock::now().time_since_epoch().count())};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return buf;
}

struct PoolFile {
  bool exists = false;
  std::string id;  // empty in a pool file of version 1
  std::vector<Range> ranges;
  uint64_t warn_below = 0;
};

// Parses a pool file; `ok` false when it is not one.
PoolFile parse_pool_file(const std::vector<uint8_t>& raw, bool* ok, std::string* why) {
  PoolFile p;
  *ok = false;
  const json j = json::parse(std::string(raw.begin(), raw.end()), nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("format", "") != kFormat) return p;
  try {
    p.exists = true;
    p.id = j.value("pool_id", "");
    p.warn_below = j.value("warn_below", uint64_t(0));
    for (const json& r : j.at("ranges"))
      p.ranges.push_back({mac_to_u64(parse_mac(r.at("first").get<std::string>())),
                          mac_to_u64(parse_mac(r.at("last").get<std::string>()))});
  } catch (const std::exception& e) {
    *why = e.what();
    return p;
  }
  *ok = true;
  return p;
}

PoolFile load_pool_file(const std::string& file) {
  std::vector<uint8_t> raw;
  if (!read_file(file, &raw)) throw UsageError("cannot read the pool " + file);
  bool ok = false;
  std::string why;
  PoolFile p = parse_pool_file(raw, &ok, &why);
  if (!ok) throw UsageError(file + " is not a MAC address pool" + (why.empty() ? "" : ": " + why));
  return p;
}

// The pool id the journal names (its "pool" line), empty when it names none.
std::string journal_pool_id(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("\"pool\"") == std::string::npos) continue;
    const json e = json::parse(line, nullptr, false);
    if (!e.is_discarded() && e.is_object() && e.value("event", "") == "pool")
      return e.value("pool_id", "");
  }
  return "";
}

struct Replay {
  Snapshot snapshot;
  bool last_line_torn = false;
  size_t lines = 0;
};

Replay replay(const std::string& text, const std::string& path) {
  Replay r;
  std::istringstream in(text);
  std::string line;
  size_t number = 0;
  std::set<size_t> torn;  // damaged lines not closed by a "torn" entry
  const size_t lines = size_t(std::count(text.begin(), text.end(), '\n')) +
                       (!text.empty() && text.back() != '\n' ? 1 : 0);
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    const json e = json::parse(line, nullptr, false);
    const std::string event =
        !e.is_discarded() && e.is_object() ? e.value("event", std::string()) : "";
    if (event == "torn") {
      torn.erase(e.value("line", size_t(0)));
      continue;
    }
    if (event == "pool") continue;
    bool good = !event.empty() && e.contains("address") && e["address"].is_string();
    if (good) {
      try {
        parse_mac(e["address"].get<std::string>());
      } catch (const UsageError&) {
        good = false;
      }
    }
    if (!good) {
      // Only the last line can be cut short by a crash; its entry never reached the disk
      // whole, so nothing was written to an adapter after it. The next append closes it
      // with a "torn" entry naming it.
      torn.insert(number);
      ++r.snapshot.torn_lines;
      continue;
    }
    apply(&r.snapshot, e);
  }
  r.last_line_torn = torn.erase(lines) > 0;  // the last line may be torn and not yet closed
  if (!torn.empty())
    throw OperationError("journal", 0,
                         path + " line " + std::to_string(*torn.begin()) +
                             " is damaged; review the journal before provisioning");
  r.lines = lines;
  return r;
}

class JournalPool : public Backend {
 public:
  explicit JournalPool(std::string file)
      : file_(std::move(file)), journal_path_(file_ + ".journal") {}

  std::string name() const override { return file_; }

  std::vector<Range> add_range(const Range& range, const uint64_t* warn_below,
                               uint32_t wait_ms) override {
    const std::string folder = folder_of(file_);
    LockedFile folder_lock;
    try {
      folder_lock.open(folder + "/" + kFolderLock, true, wait_ms);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(std::string("the pool folder is locked: ") + e.what());
    }
    PoolFile p;
    const bool exists = file_exists(file_);
    if (exists) {
      p = load_pool_file(file_);
      lock(wait_ms);  // a pool with a pool file must have its journal
    }
    for (const Range& r : p.ranges)
      if (range.overlaps(r))
        throw UsageError("the range overlaps " + mac_text(r.first) + " to " + mac_text(r.last) +
                         " already in " + file_);
    for (const auto& [other, r] : neighbours())
      if (range.overlaps(r))
        throw UsageError("the range overlaps " + mac_text(r.first) + " to " + mac_text(r.last) +
                         " of the pool " + other + " in the same folder");
    if (!exists) {
      // A new pool. A journal left from an earlier pool file of this name keeps its history.
      journal_.open(journal_path_, true, wait_ms);
      p.id = journal_pool_id(journal_.contents());
      if (p.id.empty()) {
        p.id = new_pool_id();
        journal_.append_line(
            json({{"event", "pool"}, {"pool_id", p.id}, {"time", utc_timestamp(false)}}).dump());
      }
    }
    p.ranges.push_back(range);
    if (warn_below != nullptr) p.warn_below = *warn_below;
    json list = json::array();
    for (const Range& r : p.ranges)
      list.push_back({{"first", mac_text(r.first)}, {"last", mac_text(r.last)}});
    json j = {{"format", kFormat}, {"version", 2}, {"pool_id", p.id}, {"ranges", list}};
    if (p.warn_below > 0) j["warn_below"] = p.warn_below;
    const std::string text = j.dump(2) + "\n";
    test_abort_point("pool-init-before-write");
    replace_file_durable(file_, std::vector<uint8_t>(text.begin(), text.end()));
    return p.ranges;
  }

  void lock(uint32_t wait_ms) override {
    if (journal_.is_open()) return;
    const PoolFile p = load_pool_file(file_);
    require_journal();
    journal_.open(journal_path_, false, wait_ms);
    check_owner(p, journal_.contents());
  }

  Snapshot read() override {
    const PoolFile p = load_pool_file(file_);
    std::string text;
    if (journal_.is_open()) {
      text = journal_.contents();
    } else {
      // Without the lock, so that status works while a station provisions.
      require_journal();
      std::vector<uint8_t> raw;
      if (!read_file(journal_path_, &raw)) throw UsageError("cannot read " + journal_path_);
      text.assign(raw.begin(), raw.end());
    }
    check_owner(p, text);
    Replay r = replay(text, journal_path_);
    last_line_torn_ = r.last_line_torn;
    lines_ = r.lines;
    r.snapshot.ranges = p.ranges;
    r.snapshot.warn_below = p.warn_below;
    return r.snapshot;
  }

  void record(const json& event) override {
    if (last_line_torn_) {
      journal_.append_line(json({{"event", "torn"}, {"line", lines_}}).dump());
      last_line_torn_ = false;
    }
    const std::string kind = event.value("event", std::string());
    const json& how = event.contains("outcome") ? event["outcome"] : event.value("result", json());
    if (test_fail_point(
            ("journal-" + kind + "-" + (how.is_string() ? how.get<std::string>() : "")).c_str()))
      throw std::runtime_error("cannot write " + journal_path_ + " (test hook)");
    journal_.append_line(event.dump());
  }

  std::vector<std::pair<std::string, Range>> neighbours() override {
    std::vector<std::pair<std::string, Range>> out;
    const std::string folder = folder_of(file_);
    const std::string self = base_name(file_);
    for (const std::string& name : list_folder(folder)) {
      if (name == self || name == kFolderLock) continue;
      if (name.size() > 8 && name.compare(name.size() - 8, 8, ".journal") == 0) continue;
      if (name.find(".tmp-") != std::string::npos) continue;
      const std::string path = folder + "/" + name;
      std::vector<uint8_t> raw;
      if (!read_file(path, &raw) || raw.size() > (1u << 20) || raw.empty() || raw[0] != '{')
        continue;
      bool ok = false;
      std::string why;
      const PoolFile p = parse_pool_file(raw, &ok, &why);
      if (!ok) continue;
      for (const Range& r : p.ranges) out.push_back({path, r});
    }
    return out;
  }

 private:
  void require_journal() const {
    if (!file_exists(journal_path_))
      throw UsageError("the pool " + file_ + " has no journal " + journal_path_ +
                       ": its record of the addresses handed out is missing, so nothing is "
                       "handed out; restore the journal (a pool never runs without it)");
  }
  // The journal must be this pool's: one that names another pool, or none while the pool
  // file names one (an empty file put in its place), is refused.
  void check_owner(const PoolFile& p, const std::string& text) const {
    if (p.id.empty()) return;  // a version 1 pool names no id
    const std::string id = journal_pool_id(text);
    if (id != p.id)
      throw UsageError(journal_path_ + " is not the journal of the pool " + file_ + " (" +
                       (id.empty() ? "it names no pool" : "it names the pool " + id) +
                       "): nothing is handed out; restore the pool's own journal");
  }

  std::string file_, journal_path_;
  LockedFile journal_;
  bool last_line_torn_ = false;
  size_t lines_ = 0;
};

}  // namespace

std::unique_ptr<Backend> open_journal_pool(const std::string& file) {
  return std::make_unique<JournalPool>(file);
}

}  // namespace pool
}  // namespace talvenctl
