// talvenctl: the test-station tool. Command line (CLI11), dispatch, output (text or JSON Lines),
// exit statuses and station recipes. The only translation unit that includes CLI11.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "tool.h"

#ifndef TALVENCTL_VERSION
#define TALVENCTL_VERSION "0"
#endif

namespace talvenctl {
namespace {

// The options of every command of one command line (or recipe line), each command's in its
// own record.
struct Options {
  std::string adapter, service, sim_state;
  bool json = false;
  EepromDumpOptions eeprom_dump;
  EepromDiffOptions eeprom_diff;
  EepromGetOptions eeprom_get;
  EepromSetOptions eeprom_set;
  EepromLoadOptions eeprom_load;
  PowerSetOptions power_set;
  PowerExportOptions power_export;
  PowerImportOptions power_import;
  IdSetOptions id_set;
  MacSetOptions mac_set;
  PoolInitOptions pool_init;
  PoolStatusOptions pool_status;
  PoolReviewOptions pool_review;
  ProvisionOptions provision;
  RegOptions reg_read, reg_write;
  RadioSetOptions radio_set;
  TestOptions test;
  CountersOptions counters;
  RxOptions rx;
  TxSingleOptions tx_single;
  TxModeOptions tx_mode;
  std::string recipe;
  bool keep_going = false;
};

// One parsed command line: its options and the command it chose.
struct Line {
  Options options;
  Command command;
  bool is_run = false;
  bool chosen = false;
};

std::string command_name(const CLI::App* app) {
  std::string name;
  for (const CLI::App* sub = app; sub != nullptr;) {
    const auto subs = sub->get_subcommands();
    if (subs.empty()) break;
    sub = subs.front();
    name += (name.empty() ? "" : " ") + sub->get_name();
  }
  return name;
}

// Checks of the arguments that need no adapter, so that bad input is refused (exit 2) before
// any adapter is looked for.
CLI::Validator syntax(std::function<void(const std::string&)> parse, const char* name) {
  return CLI::Validator(
      [parse](std::string& text) {
        try {
          parse(text);
        } catch (const UsageError& e) {
          return std::string(e.what());
        }
        return std::string();
      },
      name);
}
const CLI::Validator kMac = syntax([](const std::string& t) { parse_mac(t); }, "MAC");
const CLI::Validator kDuration =
    syntax([](const std::string& t) { parse_duration_ms(t, "duration"); }, "DURATION");
const CLI::Validator kWait =
    syntax([](const std::string& t) { parse_duration_ms(t, "wait", true); }, "SECONDS");
const CLI::Validator kWidth = syntax(
    [](const std::string& t) {
      if (t != "1" && t != "2" && t != "4") throw UsageError("bad width '" + t + "' (1, 2 or 4)");
    },
    "WIDTH");
CLI::Validator number(uint32_t max, const char* what, uint32_t min = 0) {
  return syntax([max, what, min](const std::string& t) { parse_number(t, max, what, min); },
                "NUMBER");
}

const char kDriverCode[] =
    "the driver's code, passed unchanged (0 to 0xFFFFFFFF; the adapter's driver defines the "
    "range)";

// Builds the command tree into `app`; the chosen command lands in `line`. Global options only
// outside recipes.
void build(CLI::App& app, Line& line, bool global) {
  app.require_subcommand(1);
  Options& o = line.options;
  if (global) {
    app.add_flag("--json", o.json, "one JSON object per command (JSON Lines) on stdout");
    app.add_option("--adapter", o.adapter, "device path of the adapter (default: the first)");
    app.add_option("--service", o.service,
                   "start the packet driver's service NAME first (without administrator rights "
                   "a failed start shows a modal message box)");
#ifndef _WIN32
    app.add_option("--sim-state", o.sim_state,
                   "keep the simulated adapter's state in FILE (env TALVENCTL_SIM_STATE)")
        ->envname("TALVENCTL_SIM_STATE");
#endif
    app.set_version_flag("--version", std::string("talvenctl ") + TALVENCTL_VERSION);
    app.footer(
        "Exit status: 0 success, 1 an operation failed (eeprom diff: the images differ; run: a "
        "line failed or the recipe was interrupted), 2 bad input (nothing written), 3 no "
        "adapter.\n"
        "On Windows talvenctl raises the system timer resolution to 1 ms while it runs "
        "(timeBeginPeriod/timeEndPeriod), so that the library's 1 ms pauses between status polls "
        "last 1 ms and not a 15.6 ms timer tick.");
  }
  Line* ln = &line;
  using Check = std::function<void(Context&)>;
  using Run = std::function<Report(Context&)>;
  using Outputs = std::function<std::vector<std::string>()>;
  auto leaf = [ln](CLI::App* sub, bool adapter, Check check, Run run, Outputs outputs = nullptr) {
    sub->callback([ln, adapter, check, run, outputs] {
      ln->command.needs_adapter = adapter;
      ln->command.check = check ? check : [](Context&) {};
      ln->command.run = run;
      ln->command.outputs = outputs ? outputs : [] { return std::vector<std::string>(); };
      ln->chosen = true;
    });
  };
  auto none = [](Context&) {};

  leaf(app.add_subcommand("adapters", "list the adapters bound to the packet driver"), false, none,
       [ln](Context&) { return cmd_adapters(ln->options.service); });
  leaf(app.add_subcommand("info",
                          "identity, addresses, RF type, power base offsets, CIS, transmitter"),
       true, none, [](Context& ctx) { return cmd_info(ctx); });

  // ---- eeprom ----
  CLI::App* ee = app.add_subcommand("eeprom", "EEPROM image and single bytes or words");
  ee->require_subcommand(1);
  {
    EepromDumpOptions& d = o.eeprom_dump;
    CLI::App* dump = ee->add_subcommand("dump", "print or save the whole image");
    dump->add_option("--format", d.format, "hex (default), bin or json")
        ->check(CLI::IsMember({"hex", "bin", "json"}));
    dump->add_option("-o,--file", d.file, "write to FILE instead of standard output");
    leaf(
        dump, true, [&d](Context& ctx) { check_eeprom_dump(ctx, d); },
        [&d](Context& ctx) { return cmd_eeprom_dump(ctx, d); },
        [&d] { return d.file.empty() ? std::vector<std::string>() : std::vector{d.file}; });
  }
  {
    EepromDiffOptions& d = o.eeprom_diff;
    CLI::App* diff =
        ee->add_subcommand("diff", "compare the EEPROM with an image (exit 1: differ)");
    diff->add_option("FILE", d.file)->required();
    leaf(
        diff, true, [&d](Context& ctx) { check_eeprom_diff(ctx, d); },
        [&d](Context& ctx) { return cmd_eeprom_diff(ctx, d); });
  }
  {
    EepromGetOptions& g = o.eeprom_get;
    CLI::App* get = ee->add_subcommand("get", "read one byte (or --word)");
    get->add_option("OFFSET", g.offset)->required()->check(number(0xFFFFFFFFu, "EEPROM offset"));
    get->add_flag("--word", g.word, "a 16-bit word at an even offset");
    leaf(
        get, true, [&g](Context& ctx) { check_eeprom_get(ctx, g); },
        [&g](Context& ctx) { return cmd_eeprom_get(ctx, g); });
  }
  {
    EepromSetOptions& e = o.eeprom_set;
    CLI::App* set = ee->add_subcommand("set", "write one byte (or --word) and verify it");
    set->add_option("OFFSET", e.offset)->required()->check(number(0xFFFFFFFFu, "EEPROM offset"));
    set->add_option("VALUE", e.value)->required()->check(number(0xFFFF, "EEPROM value"));
    set->add_flag("--word", e.word, "a 16-bit word at an even offset");
    leaf(
        set, true, [&e](Context& ctx) { check_eeprom_set(ctx, e); },
        [&e](Context& ctx) { return cmd_eeprom_set(ctx, e); });
  }
  {
    EepromLoadOptions& l = o.eeprom_load;
    CLI::App* load = ee->add_subcommand("load", "write an image safely: backup, write, verify");
    load->add_option("FILE", l.file, "image: raw bytes, or a hex or JSON dump")->required();
    load->add_flag("--no-backup", l.no_backup, "do not save the current image first");
    load->add_option("--backup-dir", l.backup_dir,
                     "folder for the backup, created when missing (default: .)");
    load->add_flag("--changed-only", l.changed_only, "write only the words that differ");
    load->add_flag("--with-identity", l.with_identity,
                   "write the image's MAC address too (by default the board keeps its own)");
    leaf(
        load, true, [&l](Context& ctx) { check_eeprom_load(ctx, l); },
        [&l](Context& ctx) { return cmd_eeprom_load(ctx, l); });
  }

  // ---- power ----
  CLI::App* power = app.add_subcommand("power", "transmit power-control table");
  power->require_subcommand(1);
  leaf(power->add_subcommand("show", "both bands, by channel"), true, none,
       [](Context& ctx) { return cmd_power_show(ctx); });
  {
    PowerSetOptions& p = o.power_set;
    CLI::App* pset = power->add_subcommand(
        "set", "CH=HIGH/LOW (2.4 GHz, 0 to 15 each) or CH=VALUE (5 GHz, 0 to 255)");
    pset->add_option("ITEMS", p.assignments)->required();
    leaf(
        pset, true, [&p](Context&) { check_power_set(p); },
        [&p](Context& ctx) { return cmd_power_set(ctx, p); });
  }
  {
    PowerExportOptions& p = o.power_export;
    CLI::App* pexp = power->add_subcommand("export", "save the table as CSV or JSON");
    pexp->add_option("FILE", p.file)->required();
    pexp->add_option("--format", p.format, "csv or json (default: by extension, else json)")
        ->check(CLI::IsMember({"csv", "json"}));
    leaf(
        pexp, true, [&p](Context&) { check_power_export(p); },
        [&p](Context& ctx) { return cmd_power_export(ctx, p); },
        [&p] { return std::vector{p.file}; });
  }
  {
    PowerImportOptions& p = o.power_import;
    CLI::App* pimp = power->add_subcommand("import", "write a CSV or JSON table and verify it");
    pimp->add_option("FILE", p.file)->required();
    leaf(
        pimp, true, [&p](Context& ctx) { check_power_import(ctx, p); },
        [&p](Context& ctx) { return cmd_power_import(ctx, p); });
  }

  // ---- id ----
  CLI::App* id = app.add_subcommand("id", "vendor and device id in the EEPROM");
  id->require_subcommand(1);
  {
    IdSetOptions& i = o.id_set;
    CLI::App* idset = id->add_subcommand("set", "write and verify the ids (0 to 0xFFFF)");
    idset->add_option("--vid", i.vendor_id, "vendor id")->check(number(0xFFFF, "vendor id"));
    idset->add_option("--did", i.device_id, "device id")->check(number(0xFFFF, "device id"));
    leaf(
        idset, true, [&i](Context&) { check_id_set(i); },
        [&i](Context& ctx) { return cmd_id_set(ctx, i); });
  }

  // ---- mac ----
  CLI::App* mac = app.add_subcommand("mac", "MAC addresses and provisioning from a pool");
  mac->require_subcommand(1);
  leaf(mac->add_subcommand("show", "EEPROM, runtime and permanent address"), true, none,
       [](Context& ctx) { return cmd_mac_show(ctx); });
  {
    MacSetOptions& m = o.mac_set;
    CLI::App* mset = mac->add_subcommand("set", "write the EEPROM (or --runtime) address, verify");
    mset->add_option("ADDRESS", m.address)->required()->check(kMac);
    mset->add_flag("--runtime", m.runtime, "the address the driver uses now, not the EEPROM's");
    leaf(
        mset, true, [&m](Context&) { check_mac_set(m); },
        [&m](Context& ctx) { return cmd_mac_set(ctx, m); });
  }
  CLI::App* pool = mac->add_subcommand("pool", "address pools");
  pool->require_subcommand(1);
  {
    PoolInitOptions& p = o.pool_init;
    CLI::App* pinit = pool->add_subcommand("init", "create a pool, or add a range to one");
    pinit->add_option("FIRST", p.first)->required()->check(kMac);
    pinit->add_option("LAST", p.last)->required()->check(kMac);
    pinit->add_option("FILE", p.file)->required();
    pinit
        ->add_option("--warn-below", p.warn_below,
                     "warn when fewer addresses than this are free (kept in the pool)")
        ->check(number(0xFFFFFFFFu, "warn-below"));
    pinit->add_option("--wait", p.wait, "seconds to wait for the pool's lock (default 0)")
        ->check(kWait);
    leaf(
        pinit, false, [&p](Context&) { check_pool_init(p); },
        [&p](Context&) { return cmd_pool_init(p); }, [&p] { return std::vector{p.file}; });
  }
  {
    PoolStatusOptions& p = o.pool_status;
    CLI::App* pstat = pool->add_subcommand("status", "counts, and addresses needing review");
    pstat->add_option("FILE", p.file)->required();
    pstat->add_option("--warn-below", p.warn_below, "low-pool threshold (default: the pool's)")
        ->check(number(0xFFFFFFFFu, "warn-below"));
    leaf(
        pstat, false, [&p](Context&) { check_pool_status(p); },
        [&p](Context&) { return cmd_pool_status(p); });
  }
  {
    PoolReviewOptions& p = o.pool_review;
    CLI::App* prev = pool->add_subcommand("review", "settle an address under review");
    prev->add_option("ADDRESS", p.address)->required()->check(kMac);
    prev->add_option("OUTCOME", p.outcome, "ok, failed or scrap")
        ->required()
        ->check(CLI::IsMember({"ok", "failed", "scrap"}));
    prev->add_option("--pool", p.pool, "the pool file")->required();
    prev->add_option("--wait", p.wait, "seconds to wait for the pool's lock (default 0)")
        ->check(kWait);
    leaf(
        prev, false, [&p](Context& ctx) { check_pool_review(ctx, p); },
        [&p](Context&) { return cmd_pool_review(p); });
  }
  {
    ProvisionOptions& p = o.provision;
    CLI::App* prov = mac->add_subcommand("provision", "write the next free address of a pool");
    prov->add_option("--pool", p.pool, "the pool file")->required();
    prov->add_option("--serial", p.serial, "the board's serial number")->required();
    prov->add_flag("--force", p.force,
                   "a new address for a serial that already has one (or one under review)");
    prov->add_option("--wait", p.wait, "seconds to wait for the pool's lock (default 0)")
        ->check(kWait);
    prov->add_option("--warn-below", p.warn_below, "low-pool threshold (default: the pool's)")
        ->check(number(0xFFFFFFFFu, "warn-below"));
    leaf(
        prov, true, [&p](Context& ctx) { check_provision(ctx, p); },
        [&p](Context& ctx) { return cmd_provision(ctx, p); });
  }

  // ---- reg ----
  CLI::App* reg = app.add_subcommand("reg", "MAC, baseband and RF registers");
  reg->require_subcommand(1);
  for (const char* verb : {"read", "write"}) {
    const bool write = verb[0] == 'w';
    RegOptions& r = write ? o.reg_write : o.reg_read;
    CLI::App* sub = reg->add_subcommand(verb, write ? "write ADDR=VALUE ..." : "read ADDR ...");
    sub->add_option("BLOCK", r.block, "mac, bb or rf")
        ->required()
        ->check(CLI::IsMember({"mac", "bb", "rf"}));
    sub->add_option(write ? "ITEMS" : "ADDRESSES", r.items)->required();
    sub->add_option("--width", r.width, "MAC register width: 1, 2 or 4 (default 4)")->check(kWidth);
    sub->add_option("--bank", r.bank, "baseband bank: 0 or 1 (default 0)")
        ->check(number(1, "bank"));
    sub->add_option("--selector", r.selector, std::string("RF register selector: ") + kDriverCode)
        ->check(number(0xFFFFFFFFu, "selector"));
    leaf(
        sub, true, [&r, write](Context&) { check_reg(r, write); },
        [&r, write](Context& ctx) { return write ? cmd_reg_write(ctx, r) : cmd_reg_read(ctx, r); });
  }

  // ---- radio, test, counters ----
  CLI::App* radio = app.add_subcommand("radio", "radio settings");
  radio->require_subcommand(1);
  {
    RadioSetOptions& r = o.radio_set;
    CLI::App* rset = radio->add_subcommand(
        "set",
        "KEY=VALUE ...: channel (1 to 14, or a 5 GHz channel of the adapter's table); "
        "modulation, rate (e.g. 108), preamble, antenna, txantenna, power (e.g. 12), gain: " +
            std::string(kDriverCode));
    rset->add_option("ITEMS", r.assignments)->required();
    leaf(
        rset, true, [&r](Context&) { check_radio_set(r); },
        [&r](Context& ctx) { return cmd_radio_set(ctx, r); });
  }
  CLI::App* test = app.add_subcommand("test", "test mode");
  test->require_subcommand(1);
  for (const char* action : {"start", "stop", "reset"})
    leaf(test->add_subcommand(action, std::string(action) + " (StartTest, StopTest, ResetDUT)"),
         true, none, [ln, action](Context& ctx) {
           ln->options.test.action = action;
           return cmd_test(ctx, ln->options.test);
         });
  {
    CountersOptions& c = o.counters;
    CLI::App* counters = app.add_subcommand("counters", "traffic counters");
    counters->add_flag("--reset", c.reset, "reset them after reading");
    leaf(counters, true, none, [&c](Context& ctx) { return cmd_counters(ctx, c); });
  }

  // ---- rx, tx ----
  {
    RxOptions& r = o.rx;
    CLI::App* rx = app.add_subcommand("rx", "receive test: frames, CRC errors, packet error rate");
    rx->add_option("--duration", r.duration, "how long (default 5s)")->check(kDuration);
    rx->add_option("--interval", r.interval, "sampling interval (default 1s)")->check(kDuration);
    rx->add_option("--expected", r.expected,
                   "frames the sender sends: the missing ones count into the error rate")
        ->check(number(0xFFFFFFFFu, "expected", 1));
    leaf(
        rx, true, [&r](Context&) { check_rx(r); }, [&r](Context& ctx) { return cmd_rx(ctx, r); });
  }
  CLI::App* tx = app.add_subcommand("tx", "transmit tests");
  tx->require_subcommand(1);
  {
    TxSingleOptions& t = o.tx_single;
    CLI::App* single = tx->add_subcommand("single", "send test frames one at a time");
    single->add_option("--count", t.count, "how many, 1 to 100000 (default 1)")
        ->check(number(100000, "count", 1));
    leaf(
        single, true, [&t](Context&) { check_tx_single(t); },
        [&t](Context& ctx) { return cmd_tx_single(ctx, t); });
  }
  for (const char* mode : {"continuous", "carrier", "suppression", "frames"}) {
    TxModeOptions& t = o.tx_mode;
    CLI::App* m = tx->add_subcommand(mode, std::string(mode) + " transmit for --duration");
    m->add_option("--duration", t.duration, "how long, e.g. 10s (Ctrl-C stops it sooner)")
        ->required()
        ->check(kDuration);
    m->add_option("--value", t.value, std::string("mode value (default 1; not 0): ") + kDriverCode)
        ->check(number(0xFFFFFFFFu, "value"));
    leaf(
        m, true,
        [&t, mode](Context&) {
          t.mode = mode;
          check_tx_mode(t);
        },
        [&t, mode](Context& ctx) {
          t.mode = mode;
          return cmd_tx_mode(ctx, t);
        });
  }
  leaf(tx->add_subcommand("off", "switch every continuous transmit mode off (safe at any time)"),
       true, none, [](Context& ctx) { return cmd_tx_off(ctx); });

  if (global) {
    CLI::App* run = app.add_subcommand(
        "run", "run a recipe: one command per line, # comments, clean-up lines after 'cleanup:'");
    run->add_option("RECIPE", o.recipe)->required();
    run->add_flag("--keep-going", o.keep_going, "go on after a failing command");
    run->callback([ln] {
      ln->is_run = true;
      ln->chosen = true;
      ln->command.needs_adapter = true;
    });
  }
}

// A better message than CLI11's for a word that names no command: walks the words through the
// command tree and names the first one that is not a command where a command is expected.
void check_command_words(const CLI::App& app, const std::vector<std::string>& words) {
  const CLI::App* level = &app;
  std::string path;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--") return;
    if (w.size() > 1 && w[0] == '-') {
      const CLI::Option* opt = level->get_option_no_throw(w.substr(0, w.find('=')));
      if (opt != nullptr && w.find('=') == std::string::npos && opt->get_expected_min() > 0)
        ++i;  // its value
      continue;
    }
    const auto subs = level->get_subcommands([](const CLI::App*) { return true; });
    if (subs.empty()) return;  // a leaf's own arguments
    const CLI::App* next = nullptr;
    std::string names;
    for (const CLI::App* s : subs) {
      if (s->get_name() == w) next = s;
      names += (names.empty() ? "" : ", ") + s->get_name();
    }
    if (next == nullptr)
      throw UsageError("unknown command '" + (path.empty() ? w : path + " " + w) +
                       "' (expected one of: " + names + ")");
    path += (path.empty() ? "" : " ") + w;
    level = next;
  }
  const auto subs = level->get_subcommands([](const CLI::App*) { return true; });
  if (!subs.empty() && level != &app) {
    std::string names;
    for (const CLI::App* s : subs) names += (names.empty() ? "" : ", ") + s->get_name();
    throw UsageError("'" + path + "' needs a command: " + names);
  }
}

// Splits a recipe line like a shell: blanks separate words, quotes group, # starts a comment.
std::vector<std::string> split_line(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (char c : line) {
    if (quote) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      in_word = true;
    } else if (c == '#' && !in_word) {
      break;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (in_word) words.push_back(word), word.clear(), in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote) throw UsageError("unbalanced quote");
  if (in_word) words.push_back(word);
  return words;
}

// Prints one command's outcome; returns its exit status. `extra` goes into its JSON object.
int emit(const Context& ctx, const std::string& name, const std::function<Report()>& body,
         const json& extra = json::object()) {
  json out = {{"command", name}};
  for (auto& [k, v] : extra.items()) out[k] = v;
  int status = kExitOk;
  std::string message;
  try {
    Report rep = body();
    out["ok"] = true;
    for (auto& [k, v] : rep.data.items()) out[k] = v;
    if (rep.status != kExitOk) out["exit"] = rep.status;
    if (ctx.json_output) {
      std::cout << out.dump() << "\n" << std::flush;
    } else if (!rep.raw.empty()) {
      write_stdout_binary(rep.raw);
    } else {
      std::cout << rep.text << std::flush;
    }
    return rep.status;
  } catch (const UsageError& e) {
    status = kExitUsage;
    message = e.what();
    out["ok"] = false;
    out["error"] = {{"kind", "usage"}, {"message", message}};
  } catch (const NoAdapterError& e) {
    status = kExitNoAdapter;
    message = e.what();
    out["ok"] = false;
    out["error"] = {{"kind", "no-adapter"}, {"message", message}};
    if (!e.operation.empty()) {
      out["error"]["operation"] = e.operation;
      out["error"]["result"] = e.result;
    }
  } catch (const OperationError& e) {
    status = kExitFailed;
    message = e.what();
    out["ok"] = false;
    out["error"] = {{"kind", "operation"},
                    {"operation", e.operation},
                    {"result", e.result},
                    {"message", message}};
    for (auto& [k, v] : e.details.items()) out[k] = v;
  } catch (const std::exception& e) {  // files and other system trouble
    status = kExitFailed;
    message = e.what();
    out["ok"] = false;
    out["error"] = {{"kind", "system"}, {"message", message}};
  }
  out["exit"] = status;
  if (ctx.json_output) std::cout << out.dump() << "\n" << std::flush;
  std::cerr << "talvenctl " << name << ": " << message << "\n";
  return status;
}

struct Session {
  Context ctx;
  std::string path, service;
  bool opened = false;
  ~Session() { close_adapter(ctx.adapter); }
  void open() {
    if (opened) return;
    std::string chosen;
    ctx.adapter = open_adapter(path, service, &chosen);
    opened = true;
  }
};

// Runs a command: its checks first, then its work.
Report perform(Session& session, const Command& c) {
  if (c.needs_adapter) session.open();
  c.check(session.ctx);
  return c.run(session.ctx);
}

// ---- Recipes ----
struct Step {
  size_t line = 0;
  std::string text;
  bool cleanup = false;  // after the "cleanup:" line: runs whatever happened before
  std::unique_ptr<Line> parsed;
  std::unique_ptr<CLI::App> app;
  std::string name;
};

// What the recipe's lines have left on: what the tool switches off when a recipe stops early.
struct AdapterUse {
  bool test_mode = false;     // a "test start" ran and no "test stop" after it
  bool transmitter = false;   // a transmit mode ran and no "tx off" after it
  bool receive_test = false;  // a receive test ran
  void note(const std::string& name, bool ok) {
    if (name == "test start" && ok) test_mode = true;
    if (name == "test stop" && ok) test_mode = false;
    if (name.rfind("tx ", 0) == 0 && name != "tx off" && name != "tx single") transmitter = true;
    if (name == "tx off" && ok) transmitter = false;
    if (name == "rx") receive_test = true;
  }
};

int run_recipe(Session& session, const std::string& file, bool keep_going) {
  Context& ctx = session.ctx;
  auto refuse = [&](const std::string& msg, int status) {
    json out = {{"command", "run"},
                {"ok", false},
                {"recipe", file},
                {"run", 0},
                {"error", {{"kind", status == kExitUsage ? "usage" : "recipe"}, {"message", msg}}},
                {"exit", status}};
    if (ctx.json_output) std::cout << out.dump() << "\n" << std::flush;
    std::cerr << "talvenctl run: " << msg << "\n";
    return status;
  };
  std::vector<uint8_t> raw;
  if (!read_file(file, &raw)) return refuse("cannot read " + file, kExitUsage);

  // 1. Every line is parsed, then checked completely (arguments, ranges against the adapter,
  // files, pools) before the first runs: a recipe with a bad line changes nothing.
  std::vector<Step> steps;
  std::istringstream in(std::string(raw.begin(), raw.end()));
  std::string text;
  bool in_cleanup = false;
  for (size_t number = 1; std::getline(in, text); ++number) {
    Step step;
    step.line = number;
    step.text = text;
    std::string problem;
    try {
      std::vector<std::string> words = split_line(text);
      if (words.empty()) continue;
      if (words.size() == 1 && words[0] == "cleanup:") {
        if (in_cleanup) throw UsageError("a second 'cleanup:' line");
        in_cleanup = true;
        continue;
      }
      step.cleanup = in_cleanup;
      step.parsed = std::make_unique<Line>();
      step.app = std::make_unique<CLI::App>("talvenctl recipe line");
      build(*step.app, *step.parsed, false);
      try {
        std::vector<std::string> reversed(words.rbegin(), words.rend());
        step.app->parse(reversed);
      } catch (const CLI::ParseError& e) {
        check_command_words(*step.app, words);
        throw UsageError(e.what());
      }
      step.name = command_name(step.app.get());
      if (!step.parsed->chosen) throw UsageError("not a command");
    } catch (const UsageError& e) {
      problem = e.what();
    }
    if (!problem.empty())
      return refuse(file + " line " + std::to_string(number) + ": " + problem + ": " + text,
                    kExitUsage);
    steps.push_back(std::move(step));
  }
  const bool needs_adapter = std::any_of(
      steps.begin(), steps.end(), [](const Step& s) { return s.parsed->command.needs_adapter; });
  try {
    if (needs_adapter) session.open();
  } catch (const NoAdapterError& e) {
    return refuse(e.what(), kExitNoAdapter);
  }
  for (const Step& step : steps) {
    std::string problem;
    int status = kExitUsage;
    try {
      step.parsed->command.check(ctx);
      for (const std::string& f : step.parsed->command.outputs()) ctx.recipe_outputs.insert(f);
    } catch (const UsageError& e) {
      problem = e.what();
    } catch (const std::exception& e) {  // the adapter could not answer a check's query
      problem = e.what();
      status = kExitFailed;
    }
    if (!problem.empty())
      return refuse(file + " line " + std::to_string(step.line) + ": " + problem + ": " +
                        step.text + " (nothing was run)",
                    status);
  }
  ctx.recipe_outputs.clear();

  // 2. The lines, up to the first failure (or all with --keep-going), then the clean-up lines
  // whatever happened; after a failure or an interruption the tool also switches off what the
  // recipe left on.
  AdapterUse use;
  size_t commands = 0, done = 0, failed = 0, cleanup_lines = 0, cleanup_failed = 0;
  bool stopped = false;
  for (Step& step : steps) {
    if (step.cleanup) continue;
    ++commands;
    if (stopped || interrupted()) continue;
    const int s =
        emit(ctx, step.name, [&]() -> Report { return perform(session, step.parsed->command); },
             {{"line", step.line}});
    use.note(step.name, s == kExitOk);
    ++done;
    if (s != kExitOk) {
      ++failed;
      if (!keep_going) stopped = true;
    }
  }
  const bool cut_short = failed > 0 || interrupted() || done < commands;
  for (Step& step : steps) {
    if (!step.cleanup) continue;
    ++cleanup_lines;
    const int s =
        emit(ctx, step.name, [&]() -> Report { return perform(session, step.parsed->command); },
             {{"line", step.line}, {"cleanup", true}});
    use.note(step.name, s == kExitOk);
    if (s != kExitOk) ++cleanup_failed;
  }
  json automatic = json::array();
  if (cut_short && session.opened) {
    auto safe = [&](const char* name, std::function<Report(Context&)> f) {
      const int s = emit(ctx, name, [&]() -> Report { return f(ctx); }, {{"cleanup", "automatic"}});
      automatic.push_back({{"command", name}, {"ok", s == kExitOk}});
      if (s != kExitOk) ++cleanup_failed;
    };
    if (use.transmitter) safe("tx off", [](Context& c) { return cmd_tx_off(c); });
    if (use.receive_test) safe("rx off", [](Context& c) { return cmd_rx_off(c); });
    if (use.test_mode)
      safe("test stop", [](Context& c) { return cmd_test(c, TestOptions{"stop"}); });
  }

  // 3. The summary: its "exit" is the tool's exit status.
  int status = kExitOk;
  if (failed > 0 || cleanup_failed > 0 || interrupted()) status = kExitFailed;
  std::string line = "recipe " + file + ": " + std::to_string(done) + " of " +
                     std::to_string(commands) + " command(s) run, " + std::to_string(failed) +
                     " failed" + (interrupted() ? " (interrupted)" : "");
  if (cleanup_lines > 0 || !automatic.empty())
    line += "; clean-up: " + std::to_string(cleanup_lines + automatic.size()) + " command(s), " +
            std::to_string(cleanup_failed) + " failed";
  json out = {{"command", "run"},
              {"ok", status == kExitOk},
              {"recipe", file},
              {"commands", commands},
              {"run", done},
              {"failed", failed},
              {"interrupted", interrupted()},
              {"cleanup",
               {{"lines", cleanup_lines}, {"failed", cleanup_failed}, {"automatic", automatic}}}};
  if (status != kExitOk) out["error"] = {{"kind", "recipe"}, {"message", line}};
  out["exit"] = status;
  if (ctx.json_output)
    std::cout << out.dump() << "\n" << std::flush;
  else
    (status == kExitOk ? std::cout : std::cerr) << line << "\n" << std::flush;
  return status;
}

int tool_main(int argc, char** argv) {
  install_interrupt_handler();
  TimerResolution timer;
  auto line = std::make_unique<Line>();
  CLI::App app("talvenctl: test-station tool for the wireless-LAN adapter (talven.dll)");
  build(app, *line, true);
  bool json_requested = false;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    words.push_back(argv[i]);
    json_requested = json_requested || words.back() == "--json";
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::string message = e.what();
    try {
      check_command_words(app, words);
    } catch (const UsageError& better) {
      message = better.what();
    }
    std::cerr << "talvenctl: " << message << "\nRun with --help for more information.\n";
    if (json_requested)
      std::cout << json({{"command", command_name(&app)},
                         {"ok", false},
                         {"error", {{"kind", "usage"}, {"message", message}}},
                         {"exit", kExitUsage}})
                       .dump()
                << "\n";
    return kExitUsage;
  }
  line->command.name = command_name(&app);
  Session session;
  session.ctx.json_output = line->options.json;
  session.ctx.progress = stderr_is_terminal() && !line->options.json;
  session.path = line->options.adapter;
  session.service = line->options.service;
  int status = kExitOk;
  try {
    sim_state_begin(line->options.sim_state);
  } catch (const UsageError& e) {
    return emit(session.ctx, line->command.name, [&]() -> Report { throw e; });
  }
  if (line->is_run) {
    status = run_recipe(session, line->options.recipe, line->options.keep_going);
  } else {
    status = emit(session.ctx, line->command.name,
                  [&]() -> Report { return perform(session, line->command); });
  }
  close_adapter(session.ctx.adapter);
  session.ctx.adapter = nullptr;
  try {
    sim_state_save();
  } catch (const std::exception& e) {
    std::cerr << "talvenctl: cannot save the simulated adapter's state: " << e.what() << "\n";
    if (status == kExitOk) status = kExitFailed;
  }
  cleanup_done();
  return status;
}

}  // namespace

#ifdef _WIN32
// The simulated adapter exists only in the Linux build.
void sim_state_begin(const std::string&) {}
void sim_state_save() {}
void sim_state_test_step(const std::string&) {}
json sim_transmitter_state() {
  return nullptr;
}
#endif

}  // namespace talvenctl

int main(int argc, char** argv) {
  return talvenctl::tool_main(argc, argv);
}
