#include "i686_emulator/process.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace emu {
namespace {

constexpr uint32_t kDllProcessDetach = 0, kDllProcessAttach = 1, kDllThreadAttach = 2,
                   kDllThreadDetach = 3;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kDefaultFpcw = 0x027F;  // the x87 control word Windows threads start with
constexpr uint32_t kDefaultMxcsr = 0x1F80;
constexpr uint32_t kEflagsDf = 0x400;
constexpr uint32_t kNeverReached = 0xFFFFF000u;  // uc_emu_start's `until`
constexpr uint32_t kTebTlsPointer = 0x2C, kTebLastError = 0x34, kTebTlsArray = 0xB00,
                   kTebTlsData = 0xC00, kTebTlsDataLimit = 0x200;

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

const char* reason_name(uint32_t reason) {
  static const char* names[] = {"DLL_PROCESS_DETACH", "DLL_PROCESS_ATTACH", "DLL_THREAD_ATTACH",
                                "DLL_THREAD_DETACH"};
  return reason < 4 ? names[reason] : "?";
}

}  // namespace

// ---- Call ----

uint32_t Call::arg(int i) const {
  return p.cpu().read32(p.cpu().esp() + 4 + 4 * uint32_t(i));
}

void Call::set_error(uint32_t error) {
  p.cpu().write32(t.teb + kTebLastError, error);
}

uint32_t Call::error() const {
  return p.cpu().read32(t.teb + kTebLastError);
}

Result Call::block(std::shared_ptr<Waitable> on, uint32_t ms) {
  t.state = Thread::Blocked;
  t.wait_on = std::move(on);
  t.deadline = ms == kInfinite ? UINT64_MAX : p.now_ + uint64_t(ms) * 1000;
  return {Result::Block, 0};
}

Result Call::host(std::function<void(Thread&)> action) {
  p.pending_host_ = std::move(action);
  return {Result::Host, 0};
}

Result Call::exit_thread(uint32_t code, bool free_library) {
  p.pending_exit_ = code;
  p.pending_free_library_ = free_library;
  return {Result::Exit, code};
}

// ---- Process ----

Process::Process(const Options& options) : options_(options), rng_(options.seed) {
  heap_ = std::make_unique<Heap>(cpu_, [this](const std::string& s) { violation("heap: " + s); });
  cpu_.map(layout::kThunks, 0x10000, kProtRead | kProtExec, "import thunks");
  cpu_.map(layout::kRuntimeData, 0x10000, kProtRead | kProtWrite, "runtime data");
  cpu_.map(layout::kCaller, layout::kCallerSize, kProtRead | kProtWrite, "caller memory");
  // One thunk per import of the table, always the same bytes: "ret N" for stdcall, "ret" for
  // cdecl. The hook runs the import before the thunk's instruction executes.
  const auto& table = import_table();
  for (size_t i = 0; i < table.size(); ++i) {
    uint8_t thunk[kThunkSize] = {0xF4, 0xF4, 0xF4, 0xF4};
    if (table[i].args > 0) {
      thunk[0] = 0xC2;
      thunk[1] = uint8_t(4 * table[i].args);
      thunk[2] = 0;
    } else {
      thunk[0] = 0xC3;
    }
    cpu_.write(layout::kThunks + uint32_t(i) * kThunkSize, thunk, kThunkSize);
    thunks_.push_back(&table[i]);
  }
  const uint8_t halt = 0xF4;
  cpu_.write(kFrameReturnStub, &halt, 1);

  uc_hook_add(cpu_.uc(), &code_hook_, UC_HOOK_CODE,
              reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t, void* self) {
                static_cast<Process*>(self)->on_code(uint32_t(address));
              }),
              this, layout::kThunks, layout::kThunks + 0xFFFF);
  uc_hook_add(cpu_.uc(), &invalid_hook_, UC_HOOK_MEM_INVALID,
              reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type type, uint64_t address, int size,
                                          int64_t, void* self) {
                return static_cast<Process*>(self)->on_invalid(type, uint32_t(address), size);
              }),
              this, 1, 0);
  uc_hook_add(cpu_.uc(), &memory_hook_, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
              reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type type, uint64_t address, int size,
                                          int64_t, void* self) {
                static_cast<Process*>(self)->on_memory(type, uint32_t(address), size);
              }),
              this, layout::kHeap, uint64_t(layout::kHeap) + layout::kHeapSize - 1);

  // The state every thread starts from: flat segments, the Windows x87 and SSE defaults.
  cpu_.set_reg(UC_X86_REG_EFLAGS, 0x202);
  cpu_.set_reg(UC_X86_REG_FPCW, kDefaultFpcw);
  cpu_.set_reg(UC_X86_REG_MXCSR, kDefaultMxcsr);
  clean_ = cpu_.new_context();
  cpu_.save(clean_);

  Thread& main = new_thread(true);
  main.state = Thread::Idle;
  activate(main);
}

Process::~Process() {
  for (auto& t : threads_) {
    for (Frame& f : t->frames)
      if (f.saved != nullptr) uc_context_free(f.saved);
    if (t->context != nullptr) uc_context_free(t->context);
  }
  if (clean_ != nullptr) uc_context_free(clean_);
}

void Process::violation(const std::string& text) {
  violations_.push_back(text);
}

std::vector<std::string> Process::take_violations() {
  std::vector<std::string> out;
  out.swap(violations_);
  return out;
}

uint64_t Process::random() {
  // xorshift64*: the same seed gives the same interleavings.
  rng_ ^= rng_ >> 12;
  rng_ ^= rng_ << 25;
  rng_ ^= rng_ >> 27;
  return rng_ * 0x2545F4914F6CDD1DULL;
}

uint32_t Process::runtime_data(const std::string& name) {
  auto it = runtime_data_.find(name);
  if (it != runtime_data_.end()) return it->second;
  const uint32_t address = runtime_data_next_;
  runtime_data_next_ += 0x200;
  runtime_data_[name] = address;
  return address;
}

// ---- Threads ----

Thread& Process::new_thread(bool main) {
  if (threads_.size() >= layout::kMaxThreads) throw std::runtime_error("too many threads");
  auto t = std::make_unique<Thread>();
  t->slot = uint32_t(threads_.size());
  t->main = main;
  t->id = 0x1000 + 4 * t->slot;
  const uint32_t base = layout::kThreadSlots + t->slot * layout::kThreadSlotSize;
  t->stack_low = base;
  t->stack_high = base + layout::kStackSize;
  t->teb = t->stack_high;
  const std::string who = "thread " + std::to_string(t->id);
  cpu_.map(t->stack_low, layout::kStackSize, kProtRead | kProtWrite, "stack of " + who);
  cpu_.map(t->teb, 0x1000, kProtRead | kProtWrite, "TEB of " + who);
  cpu_.write32(t->teb + 0x00, 0xFFFFFFFFu);  // no SEH frame
  cpu_.write32(t->teb + 0x04, t->stack_high);
  cpu_.write32(t->teb + 0x08, t->stack_low);
  cpu_.write32(t->teb + 0x18, t->teb);
  cpu_.write32(t->teb + 0x20, 0x40);  // process id
  cpu_.write32(t->teb + 0x24, t->id);
  cpu_.write32(t->teb + kTebTlsPointer, t->teb + kTebTlsArray);
  cpu_.set_data_segment(Cpu::kFirstTebIndex + t->slot, t->teb, 0xFFF);
  t->object = std::make_shared<ThreadObject>();
  t->object->id = t->id;
  if (loaded_ && image_.tls_index_va != 0) {
    const uint32_t size = image_.tls_raw_end_va - image_.tls_raw_start_va;
    t->tls_block = t->teb + kTebTlsData;
    cpu_.write(t->tls_block, cpu_.host(image_.tls_raw_start_va + (base_ - image_.image_base), size),
               size);
    cpu_.write32(t->teb + kTebTlsArray, t->tls_block);
  }
  threads_.push_back(std::move(t));
  return *threads_.back();
}

Thread& Process::create_thread(uint32_t start, uint32_t parameter, bool suspended) {
  Thread& t = new_thread(false);
  t.start = start;
  t.parameter = parameter;
  t.suspend_count = suspended ? 1 : 0;
  t.state = suspended ? Thread::Suspended : Thread::Runnable;
  return t;
}

Thread* Process::thread_by_id(uint32_t id) {
  for (auto& t : threads_)
    if (t->id == id) return t.get();
  return nullptr;
}

size_t Process::live_threads() const {
  size_t n = 0;
  for (const auto& t : threads_) n += !t->main && t->state != Thread::Exited;
  return n;
}

void Process::activate(Thread& t) {
  if (current_ == &t) return;
  if (current_ != nullptr && current_->context != nullptr) cpu_.save(current_->context);
  current_ = &t;
  if (t.context != nullptr) {
    cpu_.restore(t.context);
    return;
  }
  cpu_.restore(clean_);
  cpu_.set_reg(UC_X86_REG_FS, Cpu::selector(Cpu::kFirstTebIndex + t.slot));
  cpu_.set_reg(UC_X86_REG_ESP, t.stack_high - 64);
  cpu_.set_reg(UC_X86_REG_EIP, kFrameReturnStub);
  t.context = cpu_.new_context();
  cpu_.save(t.context);
  if (!t.main) start_thread(t);
}

// A new thread: the DLL's thread-attach notifications under the loader lock, its routine, then
// its exit.
void Process::start_thread(Thread& t) {
  t.fresh = false;
  with_loader_lock(t, [this, &t] {
    std::vector<Step> steps = loaded_ ? notifications(kDllThreadAttach) : std::vector<Step>{};
    run_steps(t, steps, [this, &t](uint32_t) {
      release_loader_lock(t);
      run_steps(t, {{"thread routine " + hex(t.start), t.start, {t.parameter}}},
                [this, &t](uint32_t code) { exit_current_thread(t, code, false); });
    });
  });
}

void Process::with_loader_lock(Thread& t, std::function<void()> body) {
  if (loader_lock_->signaled(t)) {
    loader_lock_->acquire(t);
    body();
    return;
  }
  t.state = Thread::Blocked;
  t.wait_on = loader_lock_;
  t.deadline = UINT64_MAX;
  t.resume_action = std::move(body);
}

void Process::release_loader_lock(Thread& t) {
  if (loader_lock_->owner == &t && --loader_lock_->recursion == 0) loader_lock_->owner = nullptr;
}

std::vector<Process::Step> Process::notifications(uint32_t reason) {
  ++notifications_sent[reason];
  std::vector<Step> steps;
  const uint32_t delta = base_ - image_.image_base;
  if (image_.tls_callbacks_va != 0) {
    for (uint32_t at = image_.tls_callbacks_va + delta;; at += 4) {
      const uint32_t fn = cpu_.read32(at);
      if (fn == 0) break;
      steps.push_back({std::string("TLS callback ") + hex(fn) + "(" + reason_name(reason) + ")",
                       fn,
                       {base_, reason, 0}});
    }
  }
  if (image_.entry_rva != 0)
    steps.push_back({std::string("DllMain(") + reason_name(reason) + ")",
                     base_ + image_.entry_rva,
                     {base_, reason, 0}});
  return steps;
}

void Process::run_steps(Thread& t, std::vector<Step> steps, std::function<void(uint32_t)> then,
                        bool fresh_stack) {
  if (steps.empty()) {
    then(0);
    return;
  }
  Step first = steps.front();
  steps.erase(steps.begin());
  const bool last = steps.empty();
  push_frame(t, first.label, first.fn, first.args, true, fresh_stack,
             [this, &t, steps, then, last, fresh_stack](uint32_t eax) {
               if (last)
                 then(eax);
               else
                 run_steps(t, steps, then, fresh_stack);
             });
}

void Process::finish_import(Thread& t, uint32_t value) {
  cpu_.set_reg(UC_X86_REG_EAX, value);
  t.skip_at = cpu_.eip();
}

void Process::release_module(Thread& t, std::function<void()> then) {
  if (--module_refs_ > 0) {
    then();
    return;
  }
  violation(
      "the module's last reference was given up from inside it: it unloads under the "
      "code that is still running");
  detach_process(t, std::move(then));
}

void Process::fatal(const std::string& text) {
  violation(text);
  fatal_ = true;
  uc_emu_stop(cpu_.uc());
}

void Process::push_frame(Thread& t, const std::string& label, uint32_t fn,
                         const std::vector<uint32_t>& args, bool check, bool fresh_stack,
                         std::function<void(uint32_t)> done) {
  Frame f;
  f.label = label;
  f.check = check;
  f.done = std::move(done);
  f.saved = cpu_.new_context();
  cpu_.save(f.saved);
  uint32_t top = fresh_stack ? t.stack_high - 64 : cpu_.esp() - 256;
  top &= ~15u;
  f.esp0 = top;
  uint32_t sp = top - 4 * uint32_t(args.size());
  for (size_t i = 0; i < args.size(); ++i) cpu_.write32(sp + 4 * uint32_t(i), args[i]);
  sp -= 4;
  cpu_.write32(sp, kFrameReturnStub);
  cpu_.set_reg(UC_X86_REG_ESP, sp);
  cpu_.set_reg(UC_X86_REG_EIP, fn);
  // Values a callee must give back (callee-saved) and junk in the ones it may use.
  f.ebx = ++sentinel_ ^ 0xB0000000u;
  f.esi = ++sentinel_ ^ 0x51000000u;
  f.edi = ++sentinel_ ^ 0xD1000000u;
  f.ebp = ++sentinel_ ^ 0xE0000000u;
  cpu_.set_reg(UC_X86_REG_EBX, f.ebx);
  cpu_.set_reg(UC_X86_REG_ESI, f.esi);
  cpu_.set_reg(UC_X86_REG_EDI, f.edi);
  cpu_.set_reg(UC_X86_REG_EBP, f.ebp);
  cpu_.set_reg(UC_X86_REG_EAX, 0xCCCC0000u | (sentinel_ & 0xFFFF));
  cpu_.set_reg(UC_X86_REG_ECX, 0xCCCC1111u);
  cpu_.set_reg(UC_X86_REG_EDX, 0xCCCC2222u);
  cpu_.set_reg(UC_X86_REG_EFLAGS, cpu_.reg(UC_X86_REG_EFLAGS) & ~kEflagsDf);
  f.fpcw = cpu_.reg(UC_X86_REG_FPCW);
  f.mxcsr = cpu_.reg(UC_X86_REG_MXCSR);
  t.frames.push_back(std::move(f));
}

void Process::frame_returned(Thread& t) {
  if (t.frames.empty()) {
    violation("thread " + std::to_string(t.id) + " returned to the host with no call open");
    t.state = t.main ? Thread::Idle : Thread::Exited;
    return;
  }
  Frame f = std::move(t.frames.back());
  t.frames.pop_back();
  const uint32_t eax = cpu_.reg(UC_X86_REG_EAX);
  if (f.check) {
    std::vector<std::string> bad;
    const uint32_t esp = cpu_.esp();
    if (esp != f.esp0) {
      const int32_t off = int32_t(esp - f.esp0);
      bad.push_back("ESP " + hex(esp) + " after the return, expected " + hex(f.esp0) + " (" +
                    std::to_string(off) +
                    " bytes off: the arguments were not removed as stdcall "
                    "removes them)");
    }
    const struct {
      const char* name;
      int id;
      uint32_t want;
    } saved[] = {{"EBX", UC_X86_REG_EBX, f.ebx},
                 {"ESI", UC_X86_REG_ESI, f.esi},
                 {"EDI", UC_X86_REG_EDI, f.edi},
                 {"EBP", UC_X86_REG_EBP, f.ebp}};
    for (const auto& r : saved) {
      const uint32_t got = cpu_.reg(r.id);
      if (got != r.want)
        bad.push_back(std::string(r.name) + " " + hex(got) + ", not preserved (" + hex(r.want) +
                      ")");
    }
    if ((cpu_.reg(UC_X86_REG_EFLAGS) & kEflagsDf) != 0) bad.push_back("direction flag set");
    if (cpu_.reg(UC_X86_REG_FPCW) != f.fpcw)
      bad.push_back("x87 control word " + hex(cpu_.reg(UC_X86_REG_FPCW)) + ", was " + hex(f.fpcw));
    if (cpu_.reg(UC_X86_REG_MXCSR) != f.mxcsr)
      bad.push_back("MXCSR " + hex(cpu_.reg(UC_X86_REG_MXCSR)) + ", was " + hex(f.mxcsr));
    if (((cpu_.reg(UC_X86_REG_FPSW) >> 11) & 7) != 0)
      bad.push_back("x87 register stack not empty (TOP " +
                    std::to_string((cpu_.reg(UC_X86_REG_FPSW) >> 11) & 7) + ")");
    for (const std::string& b : bad) violation("calling contract: " + f.label + ": " + b);
  }
  cpu_.restore(f.saved);
  uc_context_free(f.saved);
  if (f.done) f.done(eax);
}

// ExitThread (and the end of a thread's routine): FreeLibraryAndExitThread first gives up the
// module reference (the last one unloads the module on this thread), then, under the loader lock,
// the DLL_THREAD_DETACH notifications if the module is still loaded.
void Process::exit_current_thread(Thread& t, uint32_t code, bool free_library) {
  for (Frame& f : t.frames)
    if (f.saved != nullptr) uc_context_free(f.saved);
  t.frames.clear();
  t.exiting = true;
  t.state = Thread::Runnable;
  auto exit_thread = [this, &t, code, free_library]() {
    with_loader_lock(t, [this, &t, code, free_library] {
      auto finish = [this, &t, code, free_library](uint32_t) {
        release_loader_lock(t);
        finish_exit(t, code);
        if (free_library) ++ended_by_free_library_;
      };
      if (!loaded_) {
        finish(0);
        return;
      }
      run_steps(t, notifications(kDllThreadDetach), finish);
    });
  };
  if (free_library && loaded_ && --module_refs_ == 0) {
    detach_process(t, exit_thread);
    return;
  }
  exit_thread();
}

void Process::finish_exit(Thread& t, uint32_t code) {
  t.state = Thread::Exited;
  t.object->exited = true;
  t.object->exit_code = code;
  // Its stack and TEB go: a request completing into them later is seen as a late write.
  if (current_ == &t) {
    cpu_.save(t.context);
    current_ = nullptr;
  }
  cpu_.unmap(t.stack_low, layout::kStackSize);
  cpu_.unmap(t.teb, 0x1000);
}

// ---- Loader ----

uint32_t Process::export_address(const std::string& name) const {
  if (!loaded_) return 0;
  auto it = image_.exports.find(name);
  return it == image_.exports.end() ? 0 : base_ + it->second;
}

bool Process::load(const PeImage& image, uint32_t base, std::string* error) {
  if (loaded_) {
    ++module_refs_;
    return true;
  }
  // Every import must have a host implementation, by name: a new import fails the run here.
  std::map<std::string, uint32_t> bound;
  const auto& table = import_table();
  for (const PeImport& imp : image.imports) {
    std::string dll = imp.dll;
    for (char& ch : dll) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    if (imp.name.empty()) {
      *error = "import " + imp.dll + " ordinal " + std::to_string(imp.ordinal) +
               " is by ordinal: the host binds imports by name";
      return false;
    }
    size_t i = 0;
    for (; i < table.size(); ++i) {
      std::string tdll = table[i].dll;
      for (char& ch : tdll) ch = char(std::tolower(static_cast<unsigned char>(ch)));
      if (tdll == dll && imp.name == table[i].name) break;
    }
    if (i == table.size()) {
      *error = "import " + imp.dll + "!" + imp.name + " has no host implementation";
      return false;
    }
    bound[imp.dll + "!" + imp.name] = uint32_t(i);
  }
  image_ = image;
  base_ = base;
  std::vector<uint8_t> mapped = relocate(image, base);
  cpu_.map(base, image.size_of_image, kProtRead, "talven.dll");
  cpu_.write(base, mapped.data(), uint32_t(mapped.size()));
  for (const PeSection& s : image.sections) {
    int prot = 0;
    if (s.characteristics & 0x40000000u) prot |= kProtRead;
    if (s.characteristics & 0x80000000u) prot |= kProtWrite;
    if (s.characteristics & 0x20000000u) prot |= kProtExec;
    const uint32_t size = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (size != 0) cpu_.protect(base + s.rva, size, prot);
  }
  for (const PeImport& imp : image.imports) {
    const ImportDef& def = table[bound[imp.dll + "!" + imp.name]];
    const uint32_t index = bound[imp.dll + "!" + imp.name];
    const uint32_t target =
        def.data != nullptr ? def.data(*this) : layout::kThunks + index * kThunkSize;
    cpu_.write32(base + imp.iat_rva, target);
  }
  uc_ctl_remove_cache(cpu_.uc(), base, uint64_t(base) + image.size_of_image);
  loaded_ = true;
  module_refs_ = 1;
  // The image's TLS: index 0, and a copy of its data for every thread alive.
  if (image.tls_index_va != 0) {
    const uint32_t delta = base - image.image_base;
    const uint32_t size = image.tls_raw_end_va - image.tls_raw_start_va;
    if (size > kTebTlsDataLimit) {
      *error = "TLS data of " + std::to_string(size) + " bytes is more than the host keeps";
      return false;
    }
    cpu_.write32(image.tls_index_va + delta, 0);
    for (auto& t : threads_) {
      if (t->state == Thread::Exited) continue;
      t->tls_block = t->teb + kTebTlsData;
      cpu_.write(t->tls_block, cpu_.host(image.tls_raw_start_va + delta, size), size);
      cpu_.write32(t->teb + kTebTlsArray, t->tls_block);
    }
  }
  uc_hook_add(cpu_.uc(), &image_hook_, UC_HOOK_CODE,
              reinterpret_cast<void*>(+[](uc_engine*, uint64_t, uint32_t, void* self) {
                Process* p = static_cast<Process*>(self);
                if (p->current_ != nullptr) ++p->current_->instructions;
              }),
              this, base, uint64_t(base) + image.size_of_image - 1);

  // DLL_PROCESS_ATTACH on the main thread; a FALSE answer unloads it again.
  Thread& main = *threads_.front();
  activate(main);
  main.state = Thread::Runnable;
  bool attached = false;
  with_loader_lock(main, [this, &main, &attached] {
    run_steps(main, notifications(kDllProcessAttach), [this, &main, &attached](uint32_t eax) {
      release_loader_lock(main);
      dll_main_result_ = eax;
      attached = true;
      main.state = Thread::Idle;
    });
  });
  schedule([&] { return attached || fatal_; });
  if (!attached) {
    *error = "DLL_PROCESS_ATTACH did not return";
    return false;
  }
  if (dll_main_result_ == 0) {
    free_library();
    *error = "DllMain returned FALSE for DLL_PROCESS_ATTACH";
    return false;
  }
  return true;
}

void Process::detach_process(Thread& t, std::function<void()> then) {
  with_loader_lock(t, [this, &t, then] {
    detached_on_main = t.main;
    for (const auto& other : threads_) {
      if (other.get() == &t || other->main || other->state == Thread::Exited || other->exiting)
        continue;
      ++unloads_while_running;
      violation("the module was unloaded while thread " + std::to_string(other->id) +
                " could still run its code");
    }
    run_steps(t, notifications(kDllProcessDetach), [this, &t, then](uint32_t) {
      unmap_image();
      release_loader_lock(t);
      then();
    });
  });
}

void Process::unmap_image() {
  if (!loaded_) return;
  uc_hook_del(cpu_.uc(), image_hook_);
  cpu_.unmap(base_, image_.size_of_image);
  uc_ctl_remove_cache(cpu_.uc(), base_, uint64_t(base_) + image_.size_of_image);
  loaded_ = false;
}

void Process::free_library() {
  if (!loaded_ || module_refs_ <= 0) {
    violation("FreeLibrary of a module that is not loaded");
    return;
  }
  if (--module_refs_ > 0) return;
  Thread& main = *threads_.front();
  activate(main);
  main.state = Thread::Runnable;
  bool detached = false;
  detach_process(main, [&] {
    detached = true;
    main.state = Thread::Idle;
  });
  schedule([&] { return detached || fatal_; });
  if (!detached) {
    violation("DLL_PROCESS_DETACH did not return");
    unmap_image();
  }
}

// ---- Calls from the host ----

CallOutcome Process::call(const std::string& label, uint32_t fn,
                          const std::vector<uint32_t>& args) {
  CallOutcome out;
  Thread& main = *threads_.front();
  activate(main);
  cpu_.set_reg(UC_X86_REG_FPCW, kDefaultFpcw);
  cpu_.set_reg(UC_X86_REG_MXCSR, kDefaultMxcsr);
  const uint64_t before = main.instructions;
  main.state = Thread::Runnable;
  bool finished = false;
  push_frame(main, label, fn, args, true, true, [&](uint32_t eax) {
    finished = true;
    out.eax = eax;
    main.state = Thread::Idle;
  });
  schedule([&] { return finished || fatal_; });
  out.finished = finished;
  out.instructions = main.instructions - before;
  if (!finished) {
    violation(label + " did not return");
    activate(main);
    for (Frame& f : main.frames)
      if (f.saved != nullptr) uc_context_free(f.saved);
    main.frames.clear();
    main.state = Thread::Idle;
    main.wait_on.reset();
    main.deadline = UINT64_MAX;
    main.resumed = false;
    main.skip_at = main.yielded_at = 0;
  }
  return out;
}

bool Process::run_until(const std::function<bool()>& done) {
  schedule(done, false);
  return done();
}

// ---- Scheduler ----

void Process::at(uint64_t when_us, std::function<void()> action) {
  timers_.emplace(std::make_pair(when_us, timer_serial_++), std::move(action));
}

void Process::fire_due_timers() {
  while (!timers_.empty() && timers_.begin()->first.first <= now_) {
    auto action = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    action();
  }
}

bool Process::wake_blocked() {
  fire_due_timers();
  bool woke = false;
  for (auto& t : threads_) {
    if (t->state != Thread::Blocked) continue;
    if (t->wait_on && t->wait_on->signaled(*t)) {
      t->wait_on->acquire(*t);
      t->wake = 0;
    } else if (t->deadline <= now_) {
      t->wake = kWaitTimeout;
    } else {
      continue;
    }
    t->wait_on.reset();
    t->deadline = UINT64_MAX;
    t->resumed = true;
    t->state = Thread::Runnable;
    woke = true;
  }
  return woke;
}

bool Process::advance_time() {
  uint64_t next = UINT64_MAX;
  for (const auto& t : threads_)
    if (t->state == Thread::Blocked && t->deadline < next) next = t->deadline;
  if (!timers_.empty() && timers_.begin()->first.first < next) next = timers_.begin()->first.first;
  if (next == UINT64_MAX) return false;
  if (next > now_) now_ = next;
  fire_due_timers();
  return true;
}

Thread* Process::pick() {
  // Seeded runs also let time pass while threads run: between any two slices, the next
  // completion may arrive or the next sleep or wait may end.
  if (options_.seed != 0 && random() % 8 == 0) {
    uint64_t next = timers_.empty() ? UINT64_MAX : timers_.begin()->first.first;
    for (const auto& t : threads_)
      if (t->state == Thread::Blocked && t->deadline < next) next = t->deadline;
    if (next != UINT64_MAX && next > now_) now_ = next;
  }
  wake_blocked();
  std::vector<Thread*> runnable;
  for (auto& t : threads_)
    if (t->state == Thread::Runnable) runnable.push_back(t.get());
  if (runnable.empty()) return nullptr;
  if (options_.seed != 0) return runnable[random() % runnable.size()];
  // Round robin from the thread after the current one.
  for (Thread* t : runnable)
    if (current_ != nullptr && t->slot > current_->slot) return t;
  return runnable.front();
}

void Process::schedule(const std::function<bool()>& done, bool strict) {
  uint64_t spent = 0;
  auto total = [this] {
    uint64_t n = 0;
    for (const auto& t : threads_) n += t->instructions;
    return n;
  };
  const uint64_t start = total();
  while (!done() && !fatal_) {
    Thread* t = pick();
    if (t == nullptr) {
      if (!advance_time()) {
        if (!strict) return;
        std::string who;
        for (const auto& th : threads_)
          if (th->state == Thread::Blocked)
            who += " thread " + std::to_string(th->id) + (th->main ? " (main)" : "");
        violation("deadlock: every thread waits for something that never comes:" + who);
        return;
      }
      continue;
    }
    activate(*t);
    if (t->resume_action) {
      // Host work the thread waited for (the loader lock): it does it now, outside the guest.
      auto action = std::move(t->resume_action);
      t->resume_action = nullptr;
      t->resumed = false;
      action();
      continue;
    }
    if (t->state != Thread::Runnable) continue;
    spent = total() - start;
    if (spent > options_.budget) {
      violation("runaway: more than " + std::to_string(options_.budget) +
                " instructions without returning");
      fatal_ = true;
      return;
    }
    // Seeded runs: slices of a few instructions half of the time, so that a switch can fall
    // between any two instructions of a short stretch; else up to 2000.
    const uint64_t slice =
        options_.seed == 0 ? 5'000'000 : 1 + random() % (random() % 2 == 0 ? 24 : 2000);
    action_ = Action::None;
    const uc_err err = uc_emu_start(cpu_.uc(), cpu_.eip(), kNeverReached, 0, slice);
    if (err != UC_ERR_OK) {
      violation("thread " + std::to_string(t->id) + ": " + uc_strerror(err) + " at EIP " +
                hex(cpu_.eip()) + " (" + cpu_.region_name(cpu_.eip()) + ")");
      if (t->main) {
        fatal_ = true;
        return;
      }
      for (Frame& f : t->frames)
        if (f.saved != nullptr) uc_context_free(f.saved);
      t->frames.clear();
      finish_exit(*t, 0xDEAD);
      continue;
    }
    switch (action_) {
      case Action::None:
      case Action::Block:
      case Action::Yield:
        break;
      case Action::Frame:
        frame_returned(*t);
        break;
      case Action::Host: {
        auto action = std::move(pending_host_);
        action(*t);
        break;
      }
      case Action::Exit:
        exit_current_thread(*t, pending_exit_, pending_free_library_);
        break;
    }
  }
}

// ---- Hooks ----

void Process::on_code(uint32_t address) {
  Thread* t = current_;
  if (t == nullptr) return;
  if (address == kFrameReturnStub) {
    action_ = Action::Frame;
    uc_emu_stop(cpu_.uc());
    return;
  }
  if (t->skip_at == address) {
    t->skip_at = 0;
    return;
  }
  const uint32_t index = (address - layout::kThunks) / kThunkSize;
  if (index >= thunks_.size() || (address - layout::kThunks) % kThunkSize != 0) {
    violation("execution reached " + hex(address) + " inside the import thunks");
    fatal_ = true;
    uc_emu_stop(cpu_.uc());
    return;
  }
  const ImportDef& def = *thunks_[index];
  // Seeded runs switch threads at import calls too, before the call does anything.
  if (options_.seed != 0 && !t->resumed && t->yielded_at != address && random() % 4 == 0) {
    t->yielded_at = address;
    action_ = Action::Yield;
    uc_emu_stop(cpu_.uc());
    return;
  }
  if (!hold_at_.empty() && !t->main && !t->resumed && t->yielded_at != address &&
      hold_at_ == def.name) {
    hold_at_.clear();
    held_thread_ = t;
    t->yielded_at = address;
    t->state = Thread::Suspended;
    action_ = Action::Yield;
    uc_emu_stop(cpu_.uc());
    return;
  }
  t->yielded_at = 0;
  if (!t->resumed) ++import_calls[def.name];
  if (def.handler == nullptr) {
    violation(std::string("call of the data import ") + def.name);
    fatal_ = true;
    uc_emu_stop(cpu_.uc());
    return;
  }
  Call c{*this, *t, def};
  const Result r = def.handler(c);
  t->resumed = false;
  switch (r.kind) {
    case Result::Value:
      cpu_.set_reg(UC_X86_REG_EAX, r.value);
      return;  // the thunk's ret removes the arguments
    case Result::Block:
      action_ = Action::Block;
      break;
    case Result::Host:
      action_ = Action::Host;
      break;
    case Result::Exit:
      action_ = Action::Exit;
      break;
  }
  uc_emu_stop(cpu_.uc());
}

bool Process::on_invalid(uc_mem_type type, uint32_t address, int size) {
  const char* what = "access";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
      what = "read of unmapped memory";
      break;
    case UC_MEM_WRITE_UNMAPPED:
      what = "write to unmapped memory";
      break;
    case UC_MEM_FETCH_UNMAPPED:
      what = "execution of unmapped memory";
      break;
    case UC_MEM_WRITE_PROT:
      what = "write to read-only memory";
      break;
    case UC_MEM_FETCH_PROT:
      what = "execution of non-executable memory";
      break;
    case UC_MEM_READ_PROT:
      what = "read of unreadable memory";
      break;
    default:
      break;
  }
  violation(std::string(what) + " at " + hex(address) + " (" + std::to_string(size) + " bytes, " +
            cpu_.region_name(address) + ") by the instruction at " + hex(cpu_.eip()) +
            (in_image(cpu_.eip()) ? " in talven.dll" : ""));
  return false;
}

void Process::on_memory(uc_mem_type type, uint32_t address, int size) {
  heap_->check_access(address, uint32_t(size), type == UC_MEM_WRITE, cpu_.eip());
}

void Process::release_held_thread() {
  if (held_thread_ != nullptr && held_thread_->state == Thread::Suspended &&
      held_thread_->suspend_count == 0)
    held_thread_->state = Thread::Runnable;
  held_thread_ = nullptr;
}

// ---- Failure injection ----

void Process::fail_nth(const std::string& import, uint64_t n, uint32_t error) {
  if (n == 0)
    injections_.erase(import);
  else
    injections_[import] = {n, error};
}

bool Process::injected(const std::string& import, uint32_t* error) {
  auto it = injections_.find(import);
  if (it == injections_.end()) return false;
  if (--it->second.countdown != 0) return false;
  *error = it->second.error;
  injections_.erase(it);
  return true;
}

}  // namespace emu
