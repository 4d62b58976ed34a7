// talvenctl: the test-station tool. Command line (CLI11), dispatch, output (text or JSON Lines),
// exit statuses and station recipes. The only translation unit that includes CLI11.
#include <CLI/CLI.hpp>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "tool.h"

namespace talvenctl {
namespace {

// Option storage of one parsed command line.
struct Storage {
  std::string adapter, service, sim_state;
  bool json = false;
  // Command arguments.
  std::vector<std::string> items;
  std::string a, b, c, format, file, serial, duration, interval = "1s", count = "1", value = "1";
  std::string backup_dir = ".";
  bool flag = false, flag2 = false, flag3 = false;
  RegArgs reg;
  std::string width = "4", bank = "0", selector = "0";
};

struct Invocation {
  std::string name;
  bool needs_adapter = true;
  bool is_run = false;
  std::function<Report(Context&)> action;
  std::string raw_output;  // binary dump to standard output
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
CLI::Validator number(uint32_t max, const char* what) {
  return syntax([max, what](const std::string& t) { parse_number(t, max, what); }, "NUMBER");
}

// Builds the command tree into `app`. Global options only outside recipes.
void build(CLI::App& app, const std::shared_ptr<Storage>& st, Invocation& inv, bool global) {
  app.require_subcommand(1);
  if (global) {
    app.add_flag("--json", st->json, "one JSON object per command (JSON Lines) on stdout");
    app.add_option("--adapter", st->adapter, "device path of the adapter (default: the first)");
    app.add_option("--service", st->service, "start the packet driver's service NAME first");
#ifndef _WIN32
    app.add_option("--sim-state", st->sim_state,
                   "keep the simulated adapter's state in FILE (env TALVENCTL_SIM_STATE)")
        ->envname("TALVENCTL_SIM_STATE");
#endif
  }
  Storage& s = *st;
  Invocation* in = &inv;
  auto leaf = [in](CLI::App* sub, bool adapter, std::function<Report(Context&)> f) {
    sub->callback([in, adapter, f] {
      in->needs_adapter = adapter;
      in->action = f;
    });
  };

  leaf(app.add_subcommand("adapters", "list the adapters bound to the packet driver"), false,
       [st](Context&) { return cmd_adapters(st->service); });
  leaf(app.add_subcommand("info", "identity, addresses, RF type, power base offsets, CIS"), true,
       [](Context& ctx) { return cmd_info(ctx); });

  // ---- eeprom ----
  CLI::App* ee = app.add_subcommand("eeprom", "EEPROM image and single bytes or words");
  ee->require_subcommand(1);
  CLI::App* dump = ee->add_subcommand("dump", "print or save the whole image");
  dump->add_option("--format", s.format, "hex (default), bin or json")
      ->check(CLI::IsMember({"hex", "bin", "json"}));
  dump->add_option("-o,--file", s.file, "write to FILE instead of standard output");
  leaf(dump, true, [st, in](Context& ctx) {
    DumpArgs d;
    d.format = st->format.empty() ? "hex" : st->format;
    d.file = st->file;
    return cmd_eeprom_dump(ctx, d, &in->raw_output);
  });
  CLI::App* diff = ee->add_subcommand("diff", "compare the EEPROM with an image file");
  diff->add_option("FILE", s.file)->required();
  leaf(diff, true, [st](Context& ctx) { return cmd_eeprom_diff(ctx, st->file); });
  CLI::App* get = ee->add_subcommand("get", "read one byte (or --word)");
  get->add_option("OFFSET", s.a)->required();
  get->add_flag("--word", s.flag, "a 16-bit word at an even offset");
  leaf(get, true, [st](Context& ctx) { return cmd_eeprom_get(ctx, st->a, st->flag); });
  CLI::App* set = ee->add_subcommand("set", "write one byte (or --word) and verify it");
  set->add_option("OFFSET", s.a)->required();
  set->add_option("VALUE", s.b)->required()->check(number(0xFFFF, "EEPROM value"));
  set->add_flag("--word", s.flag, "a 16-bit word at an even offset");
  leaf(set, true, [st](Context& ctx) { return cmd_eeprom_set(ctx, st->a, st->b, st->flag); });
  CLI::App* load = ee->add_subcommand("load", "write an image safely: backup, write, verify");
  load->add_option("FILE", s.file, "image: raw bytes, or a hex or JSON dump")->required();
  load->add_flag("--no-backup", s.flag, "do not save the current image first");
  load->add_option("--backup-dir", s.backup_dir, "folder for the backup (default: .)");
  load->add_flag("--changed-only", s.flag2, "write only the words that differ");
  leaf(load, true, [st](Context& ctx) {
    LoadArgs l;
    l.file = st->file;
    l.no_backup = st->flag;
    l.backup_dir = st->backup_dir;
    l.changed_only = st->flag2;
    return cmd_eeprom_load(ctx, l);
  });

  // ---- power ----
  CLI::App* power = app.add_subcommand("power", "transmit power-control table");
  power->require_subcommand(1);
  leaf(power->add_subcommand("show", "both bands, by channel"), true,
       [](Context& ctx) { return cmd_power_show(ctx); });
  CLI::App* pset = power->add_subcommand("set", "CH=HIGH/LOW (2.4 GHz) or CH=VALUE (5 GHz)");
  pset->add_option("ITEMS", s.items)->required();
  leaf(pset, true, [st](Context& ctx) { return cmd_power_set(ctx, st->items); });
  CLI::App* pexp = power->add_subcommand("export", "save the table as CSV or JSON");
  pexp->add_option("FILE", s.file)->required();
  pexp->add_option("--format", s.format, "csv or json (default: by extension, else json)")
      ->check(CLI::IsMember({"csv", "json"}));
  leaf(pexp, true, [st](Context& ctx) { return cmd_power_export(ctx, st->file, st->format); });
  CLI::App* pimp = power->add_subcommand("import", "write a CSV or JSON table and verify it");
  pimp->add_option("FILE", s.file)->required();
  leaf(pimp, true, [st](Context& ctx) { return cmd_power_import(ctx, st->file); });

  // ---- id ----
  CLI::App* id = app.add_subcommand("id", "vendor and device id in the EEPROM");
  id->require_subcommand(1);
  CLI::App* idset = id->add_subcommand("set", "write and verify the ids");
  idset->add_option("--vid", s.a, "vendor id")->check(number(0xFFFF, "vendor id"));
  idset->add_option("--did", s.b, "device id")->check(number(0xFFFF, "device id"));
  leaf(idset, true, [st](Context& ctx) { return cmd_id_set(ctx, st->a, st->b); });

  // ---- mac ----
  CLI::App* mac = app.add_subcommand("mac", "MAC addresses and provisioning from a pool");
  mac->require_subcommand(1);
  leaf(mac->add_subcommand("show", "EEPROM, runtime and permanent address"), true,
       [](Context& ctx) { return cmd_mac_show(ctx); });
  CLI::App* mset = mac->add_subcommand("set", "write the EEPROM (or --runtime) address, verify");
  mset->add_option("ADDRESS", s.a)->required()->check(kMac);
  mset->add_flag("--runtime", s.flag, "the address the driver uses now, not the EEPROM's");
  leaf(mset, true, [st](Context& ctx) { return cmd_mac_set(ctx, st->a, st->flag); });
  CLI::App* pool = mac->add_subcommand("pool", "address pools");
  pool->require_subcommand(1);
  CLI::App* pinit = pool->add_subcommand("init", "create a pool, or add a range to one");
  pinit->add_option("FIRST", s.a)->required()->check(kMac);
  pinit->add_option("LAST", s.b)->required()->check(kMac);
  pinit->add_option("FILE", s.file)->required();
  leaf(pinit, false, [st](Context&) { return cmd_pool_init(st->a, st->b, st->file); });
  CLI::App* pstat = pool->add_subcommand("status", "counts, and addresses needing review");
  pstat->add_option("FILE", s.file)->required();
  leaf(pstat, false, [st](Context&) { return cmd_pool_status(st->file); });
  CLI::App* prov = mac->add_subcommand("provision", "write the next free address of a pool");
  prov->add_option("--pool", s.file, "the pool file")->required();
  prov->add_option("--serial", s.serial, "the board's serial number, for the journal");
  leaf(prov, true, [st](Context& ctx) { return cmd_provision(ctx, st->file, st->serial); });

  // ---- reg ----
  CLI::App* reg = app.add_subcommand("reg", "MAC, baseband and RF registers");
  reg->require_subcommand(1);
  for (const char* verb : {"read", "write"}) {
    const bool write = verb[0] == 'w';
    CLI::App* r = reg->add_subcommand(verb, write ? "write ADDR=VALUE ..." : "read ADDR ...");
    r->add_option("BLOCK", s.reg.kind, "mac, bb or rf")
        ->required()
        ->check(CLI::IsMember({"mac", "bb", "rf"}));
    r->add_option(write ? "ITEMS" : "ADDRESSES", s.items)->required();
    r->add_option("--width", s.width, "MAC register width: 1, 2 or 4 (default 4)")
        ->check(number(4, "width"));
    r->add_option("--bank", s.bank, "baseband bank: 0 or 1 (default 0)")
        ->check(number(0xFFFFFFFFu, "bank"));
    r->add_option("--selector", s.selector, "RF register selector (default 0)")
        ->check(number(0xFFFFFFFFu, "selector"));
    leaf(r, true, [st, write](Context& ctx) {
      RegArgs args = st->reg;
      args.items = st->items;
      args.width = parse_number(st->width, 4, "width");
      args.bank = parse_number(st->bank, 0xFFFFFFFFu, "bank");
      args.selector = parse_number(st->selector, 0xFFFFFFFFu, "selector");
      return write ? cmd_reg_write(ctx, args) : cmd_reg_read(ctx, args);
    });
  }

  // ---- radio, test, counters ----
  CLI::App* radio = app.add_subcommand("radio", "radio settings");
  radio->require_subcommand(1);
  CLI::App* rset = radio->add_subcommand("set",
                                         "KEY=VALUE ... (channel, modulation, rate, "
                                         "preamble, antenna, txantenna, power, gain)");
  rset->add_option("ITEMS", s.items)->required();
  leaf(rset, true, [st](Context& ctx) { return cmd_radio_set(ctx, st->items); });
  CLI::App* test = app.add_subcommand("test", "test mode");
  test->require_subcommand(1);
  for (const char* action : {"start", "stop", "reset"})
    leaf(test->add_subcommand(action, std::string(action) + " (StartTest, StopTest, ResetDUT)"),
         true, [action](Context& ctx) { return cmd_test(ctx, action); });
  CLI::App* counters = app.add_subcommand("counters", "traffic counters");
  counters->add_flag("--reset", s.flag, "reset them after reading");
  leaf(counters, true, [st](Context& ctx) { return cmd_counters(ctx, st->flag); });

  // ---- rx, tx ----
  CLI::App* rx = app.add_subcommand("rx", "receive test: frames, CRC errors, packet error rate");
  rx->add_option("--duration", s.duration, "how long (default 5s)")->check(kDuration);
  rx->add_option("--interval", s.interval, "sampling interval (default 1s)")->check(kDuration);
  leaf(rx, true, [st](Context& ctx) {
    return cmd_rx(ctx, st->duration.empty() ? "5s" : st->duration, st->interval);
  });
  CLI::App* tx = app.add_subcommand("tx", "transmit tests");
  tx->require_subcommand(1);
  CLI::App* single = tx->add_subcommand("single", "send test frames one at a time");
  single->add_option("--count", s.count, "how many (default 1)")->check(number(100000, "count"));
  leaf(single, true,
       [st](Context& ctx) { return cmd_tx_single(ctx, parse_number(st->count, 100000, "count")); });
  for (const char* mode : {"continuous", "carrier", "suppression", "frames"}) {
    CLI::App* m = tx->add_subcommand(mode, std::string(mode) + " transmit for --duration");
    m->add_option("--duration", s.duration, "how long, e.g. 10s (Ctrl-C stops it sooner)")
        ->required()
        ->check(kDuration);
    m->add_option("--value", s.value, "mode value passed to the driver (default 1)")
        ->check(number(0xFFFFFFFFu, "value"));
    leaf(m, true, [st, mode](Context& ctx) {
      return cmd_tx_mode(ctx, mode, st->duration, parse_number(st->value, 0xFFFFFFFFu, "value"));
    });
  }

  if (global) {
    CLI::App* run = app.add_subcommand("run", "run a recipe: one command per line, # comments");
    run->add_option("RECIPE", s.file)->required();
    run->add_flag("--keep-going", s.flag3, "go on after a failing command");
    run->callback([in] {
      in->is_run = true;
      in->needs_adapter = true;
    });
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

// Prints one command's outcome; returns its exit status.
int emit(const Context& ctx, const std::string& name, const std::function<Report()>& body,
         std::string* raw) {
  json out = {{"command", name}};
  int status = kExitOk;
  std::string message;
  try {
    Report rep = body();
    out["ok"] = true;
    for (auto& [k, v] : rep.data.items()) out[k] = v;
    if (ctx.json_output) {
      std::cout << out.dump() << "\n" << std::flush;
    } else if (raw != nullptr && !raw->empty()) {
      std::cout.write(raw->data(), std::streamsize(raw->size()));
      std::cout.flush();
    } else {
      std::cout << rep.text << std::flush;
    }
    return kExitOk;
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

int run_recipe(Session& session, const std::string& file, bool keep_going) {
  std::vector<uint8_t> raw;
  if (!read_file(file, &raw)) {
    return emit(
        session.ctx, "run", [&]() -> Report { throw UsageError("cannot read " + file); }, nullptr);
  }
  // Every line is parsed before the first runs: a recipe with a bad line changes nothing.
  struct Step {
    size_t line;
    std::string text;
    std::shared_ptr<Storage> st;
    std::unique_ptr<Invocation> inv;
    std::unique_ptr<CLI::App> app;
  };
  std::vector<Step> steps;
  std::istringstream in(std::string(raw.begin(), raw.end()));
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    Step step{number, line, std::make_shared<Storage>(), std::make_unique<Invocation>(),
              std::make_unique<CLI::App>("talvenctl recipe line")};
    std::string problem;
    try {
      std::vector<std::string> words = split_line(line);
      if (words.empty()) continue;
      build(*step.app, step.st, *step.inv, false);
      std::reverse(words.begin(), words.end());
      step.app->parse(words);
      step.inv->name = command_name(step.app.get());
    } catch (const CLI::ParseError& e) {
      problem = e.what();
    } catch (const UsageError& e) {
      problem = e.what();
    }
    if (!problem.empty() || !step.inv->action) {
      const std::string msg = file + " line " + std::to_string(number) + ": " +
                              (problem.empty() ? "not a command" : problem) + ": " + line;
      return emit(
          session.ctx, "run", [&]() -> Report { throw UsageError(msg); }, nullptr);
    }
    steps.push_back(std::move(step));
  }
  int status = kExitOk;
  size_t done = 0, failed = 0;
  for (Step& step : steps) {
    if (interrupted()) break;
    const int s = emit(
        session.ctx, step.inv->name,
        [&]() -> Report {
          if (step.inv->needs_adapter) session.open();
          return step.inv->action(session.ctx);
        },
        &step.inv->raw_output);
    ++done;
    if (s != kExitOk) {
      ++failed;
      if (status == kExitOk) status = s;
      if (!keep_going) break;
    }
  }
  Report summary;
  summary.data = {{"recipe", file},
                  {"commands", steps.size()},
                  {"run", done},
                  {"failed", failed},
                  {"interrupted", interrupted()}};
  const int s = emit(
      session.ctx, "run",
      [&]() -> Report {
        summary.line("recipe " + file + ": " + std::to_string(done) + " of " +
                     std::to_string(steps.size()) + " command(s) run, " + std::to_string(failed) +
                     " failed" + (interrupted() ? " (interrupted)" : ""));
        if (status != kExitOk)
          throw OperationError("run", 0, summary.text.substr(0, summary.text.size() - 1),
                               summary.data);
        return summary;
      },
      nullptr);
  return status != kExitOk ? status : s;
}

int tool_main(int argc, char** argv) {
  install_interrupt_handler();
  auto st = std::make_shared<Storage>();
  Invocation inv;
  CLI::App app("talvenctl: test-station tool for the wireless-LAN adapter (talven.dll)");
  build(app, st, inv, true);
  bool json_requested = false;
  for (int i = 1; i < argc; ++i)
    json_requested = json_requested || std::string(argv[i]) == "--json";
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    if (code == 0) return kExitOk;
    if (json_requested)
      std::cout << json({{"command", command_name(&app)},
                         {"ok", false},
                         {"error", {{"kind", "usage"}, {"message", e.what()}}},
                         {"exit", kExitUsage}})
                       .dump()
                << "\n";
    return kExitUsage;
  }
  inv.name = command_name(&app);
  Session session;
  session.ctx.json_output = st->json;
  session.ctx.progress = stderr_is_terminal() && !st->json;
  session.path = st->adapter;
  session.service = st->service;
  int status = kExitOk;
  try {
    sim_state_begin(st->sim_state);
  } catch (const UsageError& e) {
    return emit(
        session.ctx, inv.name, [&]() -> Report { throw e; }, nullptr);
  }
  if (inv.is_run) {
    status = run_recipe(session, st->file, st->flag3);
  } else {
    status = emit(
        session.ctx, inv.name,
        [&]() -> Report {
          if (inv.needs_adapter) session.open();
          return inv.action(session.ctx);
        },
        &inv.raw_output);
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
#endif

}  // namespace talvenctl

int main(int argc, char** argv) {
  return talvenctl::tool_main(argc, argv);
}
