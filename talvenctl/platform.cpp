// talvenctl: the few calls that differ between Windows and Linux: Ctrl-C handling, terminals,
// durable files and the locked journal.
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tool.h"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace talvenctl {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
std::atomic<bool> g_cleanup_done{false};

#ifdef _WIN32
BOOL WINAPI console_handler(DWORD event) {
  g_interrupted = 1;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Close, logoff, shutdown: Windows ends the process when the handler returns, so give the
  // main thread time to stop the transmitter first.
  for (int i = 0; i < 400 && !g_cleanup_done.load(); ++i) ::Sleep(10);
  return TRUE;
}
#else
extern "C" void on_signal(int) {
  g_interrupted = 1;
}
#endif

#ifndef _WIN32
// A new or renamed file survives a power cut only once its folder's entry is on the disk too.
void sync_directory_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
#endif

}  // namespace

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

void install_interrupt_handler() {
#ifdef _WIN32
  SetConsoleCtrlHandler(console_handler, TRUE);
#else
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
#endif
}

bool interrupted() {
  return g_interrupted != 0;
}
void clear_interrupt() {
  g_interrupted = 0;
}
void cleanup_done() {
  g_cleanup_done = true;
}

uint64_t monotonic_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool sleep_interruptible(uint32_t ms) {
  const uint64_t end = monotonic_ms() + ms;
  for (;;) {
    if (interrupted()) return false;
    const uint64_t now = monotonic_ms();
    if (now >= end) return true;
    const uint64_t left = end - now;
    ::Sleep(static_cast<DWORD>(left < 20 ? left : 20));
  }
}

bool file_exists(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in.good();
}

bool read_file(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

void write_file_durable(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot create " + path);
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fflush(f) == 0 && ok;
#ifdef _WIN32
  ok = _commit(_fileno(f)) == 0 && ok;
#else
  ok = fsync(fileno(f)) == 0 && ok;
#endif
  ok = std::fclose(f) == 0 && ok;
  if (!ok) throw std::runtime_error("cannot write " + path);
}

void replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
  const bool ok = MoveFileExA(from.c_str(), to.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  const bool ok = std::rename(from.c_str(), to.c_str()) == 0;
  if (ok) sync_directory_of(to);
#endif
  if (!ok) throw std::runtime_error("cannot replace " + to);
}

// ---- Journal ----
Journal::~Journal() {
#ifdef _WIN32
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
#else
  if (fd_ >= 0) close(fd_);  // releases the lock
#endif
}

void Journal::open(const std::string& path, bool create) {
  path_ = path;
#ifdef _WIN32
  // No sharing: a second station process on the same pool is refused while this one runs.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot open the journal " + path +
                             " (missing, or in use by another talvenctl)");
  handle_ = h;
#else
  fd_ = ::open(path.c_str(), O_RDWR | (create ? O_CREAT : 0) | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot open the journal " + path);
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0)
    throw std::runtime_error("the journal " + path + " is in use by another talvenctl");
  if (create) sync_directory_of(path);
#endif
}

std::string Journal::contents() const {
#ifdef _WIN32
  // The file is open without sharing: read it through the handle that holds it.
  HANDLE h = static_cast<HANDLE>(handle_);
  LARGE_INTEGER zero{};
  std::string text;
  bool ok = SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) != 0;
  char buf[4096];
  DWORD got = 0;
  while (ok && (ok = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0) && got > 0)
    text.append(buf, got);
  if (!ok) throw std::runtime_error("cannot read the journal " + path_);
  return text;
#else
  std::vector<uint8_t> bytes;
  if (!read_file(path_, &bytes)) throw std::runtime_error("cannot read the journal " + path_);
  return std::string(bytes.begin(), bytes.end());
#endif
}

void Journal::append_line(const std::string& line) {
  std::string text = contents();
  // A line torn by a crash is closed off, so that the new entry starts on a line of its own.
  std::string out = (!text.empty() && text.back() != '\n') ? "\n" : "";
  out += line + "\n";
#ifdef _WIN32
  HANDLE h = static_cast<HANDLE>(handle_);
  LARGE_INTEGER zero{};
  DWORD written = 0;
  const bool ok = SetFilePointerEx(h, zero, nullptr, FILE_END) &&
                  WriteFile(h, out.data(), DWORD(out.size()), &written, nullptr) &&
                  written == out.size() && FlushFileBuffers(h);
#else
  bool ok = lseek(fd_, 0, SEEK_END) >= 0;
  size_t done = 0;
  while (ok && done < out.size()) {
    const ssize_t n = write(fd_, out.data() + done, out.size() - done);
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  ok = ok && fsync(fd_) == 0;
#endif
  if (!ok) throw std::runtime_error("cannot write the journal " + path_);
}

void test_abort_point(const char* step) {
  sim_state_test_step(step);
  if (const char* marks = std::getenv("TALVENCTL_TEST_MARK_DIR")) {
    std::ofstream(std::string(marks) + "/" + step).flush();
  }
  const char* at = std::getenv("TALVENCTL_TEST_ABORT_AT");
  if (at == nullptr || std::strcmp(at, step) != 0) return;
  sim_state_save();  // the adapter keeps what it holds; only the process dies
  std::_Exit(134);
}

}  // namespace talvenctl
