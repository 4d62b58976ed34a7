// talvenctl: the few calls that differ between Windows and Linux: Ctrl-C handling, terminals,
// the timer resolution, durable and exclusive files, folders and the locked pool files.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "tool.h"

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <timeapi.h>
#else
#include <dirent.h>
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

#ifdef _WIN32
// A folder's entries reach the disk with the metadata the file system journals; flushing a
// folder handle is what Windows offers beyond that, where the file system allows it.
void sync_folder(const std::string& folder) {
  HANDLE h = CreateFileA(folder.c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(h);
  CloseHandle(h);
}
#else
// A new or renamed file survives a power cut only once its folder's entry is on the disk too.
void sync_folder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open the folder " + folder + " to flush it");
  const bool ok = fsync(fd) == 0;
  close(fd);
  if (!ok) throw std::runtime_error("cannot flush the folder " + folder);
}
#endif

// Opens `path` for writing only if it does not exist (a link counts as existing); -1 or
// INVALID_HANDLE_VALUE when the name is taken, throws on any other error.
#ifdef _WIN32
HANDLE create_exclusive(const std::string& path, bool* taken) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  *taken = h == INVALID_HANDLE_VALUE &&
           (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS);
  if (h == INVALID_HANDLE_VALUE && !*taken) throw std::runtime_error("cannot create " + path);
  return h;
}
bool write_and_flush(HANDLE h, const std::vector<uint8_t>& bytes) {
  DWORD written = 0;
  bool ok = bytes.empty() || (WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                              written == bytes.size());
  ok = FlushFileBuffers(h) && ok;
  ok = CloseHandle(h) && ok;
  return ok;
}
#else
int create_exclusive(const std::string& path, bool* taken) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  *taken = fd < 0 && errno == EEXIST;
  if (fd < 0 && !*taken) throw std::runtime_error("cannot create " + path + ": " + strerror(errno));
  return fd;
}
bool write_and_flush(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  return ok;
}
#endif

std::string unique_suffix() {
  static std::mt19937_64 random{
      std::random_device{}() ^
      uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())};
  char buf[40];
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  std::snprintf(buf, sizeof buf, "%lu-%016llx", pid, static_cast<unsigned long long>(random()));
  return buf;
}

}  // namespace

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

bool stdout_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

void write_stdout_binary(const std::string& bytes) {
  std::fflush(stdout);
#ifdef _WIN32
  // In text mode the C runtime turns every 0x0A into 0x0D 0x0A.
  if (_setmode(_fileno(stdout), _O_BINARY) == -1)
    throw std::runtime_error("cannot switch standard output to binary mode");
#endif
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
                  std::fflush(stdout) == 0;
  if (!ok) throw std::runtime_error("cannot write to standard output");
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

TimerResolution::TimerResolution() {
#ifdef _WIN32
  raised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
#endif
}
TimerResolution::~TimerResolution() {
#ifdef _WIN32
  if (raised_) timeEndPeriod(1);
#endif
}

bool file_exists(const std::string& path) {
#ifdef _WIN32
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
#endif
}

bool is_directory(const std::string& path) {
#ifdef _WIN32
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

std::string folder_of(const std::string& path) {
#ifdef _WIN32
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.find_last_of('/');
#endif
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

void make_directories(const std::string& path) {
  if (path.empty() || is_directory(path)) return;
  const std::string parent = folder_of(path);
  if (parent != path && parent != "." && !is_directory(parent)) make_directories(parent);
#ifdef _WIN32
  const bool ok = CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
#else
  const bool ok = mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
  if (ok) sync_folder(parent);
#endif
  if (!ok || !is_directory(path)) throw std::runtime_error("cannot create the folder " + path);
}

std::vector<std::string> list_folder(const std::string& folder) {
  std::vector<std::string> names;
#ifdef _WIN32
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileA(h, &found));
  FindClose(h);
#else
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d))
    if (e->d_type == DT_REG || e->d_type == DT_UNKNOWN) names.push_back(e->d_name);
  closedir(d);
#endif
  return names;
}

std::string station_name() {
  char buf[256] = {};
#ifdef _WIN32
  DWORD size = sizeof buf;
  if (!GetComputerNameA(buf, &size)) return "";
#else
  if (gethostname(buf, sizeof buf - 1) != 0) return "";
#endif
  return buf;
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

std::string write_new_file_durable(const std::string& folder, const std::string& stem,
                                   const std::string& ext, const std::vector<uint8_t>& bytes) {
  for (int n = 1; n < 10000; ++n) {
    const std::string path = folder + "/" + stem + (n == 1 ? "" : "-" + std::to_string(n)) + ext;
    bool taken = false;
    auto f = create_exclusive(path, &taken);
    if (taken) continue;
    if (!write_and_flush(f, bytes)) throw std::runtime_error("cannot write " + path);
    sync_folder(folder);
    return path;
  }
  throw std::runtime_error("no free file name for " + folder + "/" + stem + ext);
}

void replace_file_durable(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string temporary;
  for (;;) {
    temporary = path + ".tmp-" + unique_suffix();
    bool taken = false;
    auto f = create_exclusive(temporary, &taken);
    if (taken) continue;
    if (!write_and_flush(f, bytes)) {
      std::remove(temporary.c_str());
      throw std::runtime_error("cannot write " + temporary);
    }
    break;
  }
#ifdef _WIN32
  // A reader holding the old file open without delete sharing refuses the replacement for as
  // long as it reads: try again for a while.
  bool ok = false;
  for (int i = 0; i < 250 && !ok; ++i) {
    ok = MoveFileExA(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) ::Sleep(20);
  }
#else
  const bool ok = std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
  if (!ok) {
    std::remove(temporary.c_str());
    throw std::runtime_error("cannot replace " + path);
  }
  sync_folder(folder_of(path));
}

// ---- LockedFile ----
#ifdef _WIN32
namespace {
// The lock covers one byte far past any data, so that readers of the data are not blocked
// (Windows byte-range locks are mandatory).
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
}  // namespace
#endif

LockedFile::~LockedFile() {
#ifdef _WIN32
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));  // releases the lock
#else
  if (fd_ >= 0) close(fd_);  // releases the lock
#endif
}

bool LockedFile::is_open() const {
#ifdef _WIN32
  return handle_ != nullptr;
#else
  return fd_ >= 0;
#endif
}

void LockedFile::open(const std::string& path, bool create, uint32_t wait_ms) {
  path_ = path;
  const uint64_t deadline = monotonic_ms() + wait_ms;
#ifdef _WIN32
  // Shared for reading and writing: `mac pool status` reads while a provision holds the lock,
  // and another provision opens the file to wait for the lock.
  HANDLE h =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  handle_ = h;
  for (;;) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    if (monotonic_ms() >= deadline || interrupted())
      throw std::runtime_error(path + " is in use by another talvenctl" +
                               (wait_ms ? " (waited " + std::to_string(wait_ms / 1000) + " s)"
                                        : std::string(" (--wait SECONDS waits for it)")));
    ::Sleep(20);
  }
#else
  fd_ = ::open(path.c_str(), O_RDWR | (create ? O_CREAT : 0) | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (monotonic_ms() >= deadline || interrupted())
      throw std::runtime_error(path + " is in use by another talvenctl" +
                               (wait_ms ? " (waited " + std::to_string(wait_ms / 1000) + " s)"
                                        : std::string(" (--wait SECONDS waits for it)")));
    ::Sleep(20);
  }
  if (create) sync_folder(folder_of(path));
#endif
}

std::string LockedFile::contents() const {
#ifdef _WIN32
  HANDLE h = static_cast<HANDLE>(handle_);
  LARGE_INTEGER zero{};
  std::string text;
  bool ok = SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) != 0;
  char buf[4096];
  DWORD got = 0;
  while (ok && (ok = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0) && got > 0)
    text.append(buf, got);
  if (!ok) throw std::runtime_error("cannot read " + path_);
  return text;
#else
  std::string text;
  char buf[4096];
  off_t at = 0;
  for (;;) {
    const ssize_t n = pread(fd_, buf, sizeof buf, at);
    if (n < 0) throw std::runtime_error("cannot read " + path_);
    if (n == 0) break;
    text.append(buf, size_t(n));
    at += n;
  }
  return text;
#endif
}

void LockedFile::append_line(const std::string& line) {
  const std::string text = contents();
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
  if (!ok) throw std::runtime_error("cannot write " + path_);
}

void test_abort_point(const char* step) {
  sim_state_test_step(step);
  if (const char* marks = std::getenv("TALVENCTL_TEST_MARK_DIR")) {
    std::ofstream(std::string(marks) + "/" + step).flush();
  }
  const char* at = std::getenv("TALVENCTL_TEST_ABORT_AT");
  if (at == nullptr || std::strcmp(at, step) != 0) return;
  std::_Exit(134);  // the simulated adapter already holds every write, as hardware would
}

bool test_fail_point(const char* step) {
  const char* at = std::getenv("TALVENCTL_TEST_FAIL_AT");
  return at != nullptr && std::strcmp(at, step) == 0;
}

}  // namespace talvenctl
