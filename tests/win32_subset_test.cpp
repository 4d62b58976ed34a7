// The Win32 subset behaves as Windows does for the calls talven makes: heap handles and locks,
// events and waits, device files with buffered and overlapped I/O, threads, registry, service
// control manager and the text functions.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

#include "win32sim/machine.h"
#include "win32sim/text.h"

namespace {

using win32sim::IoOutcome;
using win32sim::PendingIo;

// A device whose answers are scripted one request at a time. Output bytes are 0xA0, 0xA1, ...
class ScriptedDevice : public win32sim::Device {
 public:
  uint32_t open_error() override { return refuse_open; }
  IoOutcome device_control(uint32_t, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                           const std::shared_ptr<PendingIo>& io) override {
    std::lock_guard<std::mutex> lock(mutex_);
    inputs.emplace_back(buffer, buffer + in_size);
    for (uint32_t i = 0; i < out_size; ++i) buffer[i] = uint8_t(0xA0 + i);
    return next(io);
  }
  IoOutcome write(const uint8_t* data, uint32_t size,
                  const std::shared_ptr<PendingIo>& io) override {
    std::lock_guard<std::mutex> lock(mutex_);
    inputs.emplace_back(data, data + size);
    return next(io);
  }
  void cancel(const std::shared_ptr<PendingIo>& io) override {
    cancels++;
    Device::cancel(io);
  }
  void script(IoOutcome::Kind kind, uint32_t error = 0, uint32_t bytes = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes.push_back({kind, error, bytes});
  }
  // Waits until the device itself holds at least n pended requests. The machine counts a request
  // as pending before the device has seen it, so that count is no sign that it is queued here.
  bool wait_pending(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return queued_.wait_for(lock, std::chrono::seconds(30), [&] { return pending.size() >= n; });
  }
  // The oldest pended request, once the device holds one.
  std::shared_ptr<PendingIo> take_pending() {
    if (!wait_pending(1)) {
      ADD_FAILURE() << "no request was pended";
      std::abort();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto io = pending.front();
    pending.pop_front();
    return io;
  }

  uint32_t refuse_open = 0;
  std::atomic<int> cancels{0};
  std::vector<std::vector<uint8_t>> inputs;

 private:
  IoOutcome next(const std::shared_ptr<PendingIo>& io) {
    IoOutcome o;
    if (!outcomes.empty()) {
      o = outcomes.front();
      outcomes.pop_front();
    }
    if (o.kind == IoOutcome::Pending) {
      pending.push_back(io);
      queued_.notify_all();
    }
    return o;
  }
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<IoOutcome> outcomes;
  std::deque<std::shared_ptr<PendingIo>> pending;
};

class SubsetTest : public ::testing::Test {
 protected:
  void SetUp() override { win32sim::reset_machine(); }
  void TearDown() override {
    EXPECT_TRUE(win32sim::wait_for_threads(5000));
    if (expect_clean_) {
      const win32sim::Misuse m = win32sim::misuse();
      EXPECT_EQ(0u, m.total());
    }
    win32sim::reset_machine();
  }
  // Registers a device under \Device\TEST with the DOS name TEST and opens it.
  HANDLE open_device(DWORD flags = FILE_FLAG_OVERLAPPED) {
    win32sim::add_device(u"\\Device\\TEST", device_);
    win32sim::add_dos_name(u"TEST", u"\\Device\\TEST");
    return CreateFileW(u"\\\\.\\TEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       flags, nullptr);
  }
  std::shared_ptr<ScriptedDevice> device_ = std::make_shared<ScriptedDevice>();
  bool expect_clean_ = true;
};

// ---- Global heap ----

TEST_F(SubsetTest, HeapFlagsDecideHandleIdentityAndFill) {
  struct Case {
    UINT flags;
    bool handle_is_pointer;
    uint8_t fill;
  } cases[] = {
      {GMEM_FIXED, true, 0xCD}, {GPTR, true, 0}, {GMEM_MOVEABLE, false, 0xCD}, {GHND, false, 0}};
  for (const Case& c : cases) {
    HGLOBAL h = GlobalAlloc(c.flags, 40);
    ASSERT_NE(nullptr, h);
    auto* p = static_cast<uint8_t*>(GlobalLock(h));
    EXPECT_EQ(c.handle_is_pointer, static_cast<void*>(p) == h) << c.flags;
    EXPECT_EQ(h, GlobalHandle(p));
    EXPECT_EQ(40u, GlobalSize(h));
    EXPECT_EQ(40u, win32sim::heap_block_size(p));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(c.fill, p[i]) << c.flags;
    GlobalUnlock(h);
    EXPECT_EQ(nullptr, GlobalFree(h));
  }
  EXPECT_EQ(0u, win32sim::heap_live_blocks());
  EXPECT_EQ(4u, win32sim::heap_alloc_calls());
  ASSERT_EQ(4u, win32sim::heap_alloc_log().size());
  EXPECT_EQ(GHND, win32sim::heap_alloc_log()[3].flags);
}

TEST_F(SubsetTest, MovableBlocksCountLocks) {
  HGLOBAL h = GlobalAlloc(GHND, 8);
  void* p = GlobalLock(h);
  EXPECT_EQ(p, GlobalLock(h));
  EXPECT_EQ(nullptr, GlobalHandle(static_cast<uint8_t*>(p) + 1)) << "only the block start";
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_NE(FALSE, GlobalUnlock(h)) << "still locked once";
  SetLastError(77);
  EXPECT_EQ(FALSE, GlobalUnlock(h));
  EXPECT_EQ(DWORD(NO_ERROR), GetLastError()) << "the last unlock is not a failure";
  EXPECT_EQ(FALSE, GlobalUnlock(h));
  EXPECT_EQ(DWORD(ERROR_NOT_LOCKED), GetLastError());
  EXPECT_EQ(nullptr, GlobalFree(h));
  EXPECT_EQ(1u, win32sim::misuse().bad_unlocks);
  expect_clean_ = false;
}

TEST_F(SubsetTest, HeapMisuseIsRecorded) {
  HGLOBAL locked = GlobalAlloc(GHND, 8);
  GlobalLock(locked);
  EXPECT_EQ(nullptr, GlobalFree(locked));
  EXPECT_EQ(locked, GlobalFree(locked)) << "a double free fails with the handle";
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  auto* overrun = static_cast<uint8_t*>(GlobalAlloc(GPTR, 8));
  overrun[8] = 1;
  GlobalFree(overrun);
  const win32sim::Misuse m = win32sim::misuse();
  EXPECT_EQ(1u, m.locked_frees);
  EXPECT_EQ(1u, m.bad_frees);
  EXPECT_EQ(1u, m.guard_overwrites);
  expect_clean_ = false;
}

TEST_F(SubsetTest, NthGlobalAllocFailsOnceAndCountersFollow) {
  win32sim::fail_nth_global_alloc(2);
  HGLOBAL a = GlobalAlloc(GHND, 10);
  SetLastError(0);
  EXPECT_EQ(nullptr, GlobalAlloc(GHND, 20));
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  HGLOBAL c = GlobalAlloc(GMEM_FIXED, 30);
  EXPECT_NE(nullptr, c);
  EXPECT_EQ(2u, win32sim::heap_live_blocks());
  EXPECT_EQ(40u, win32sim::heap_live_bytes());
  EXPECT_EQ(3u, win32sim::heap_alloc_calls());
  GlobalFree(a);
  GlobalFree(c);
  EXPECT_EQ(0u, win32sim::heap_live_bytes());
}

// ---- Events, waits, handles ----

TEST_F(SubsetTest, EventsFollowTheirResetMode) {
  struct Case {
    BOOL manual, initial;
    DWORD first, second;
  } cases[] = {{TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
               {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
               {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
               {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT}};
  for (const Case& c : cases) {
    HANDLE e = CreateEventW(nullptr, c.manual, c.initial, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(c.first, WaitForSingleObject(e, 0));
    EXPECT_EQ(c.second, WaitForSingleObject(e, 0));
    SetEvent(e);
    ResetEvent(e);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
  }
  EXPECT_EQ(0u, win32sim::open_event_handles());
}

TEST_F(SubsetTest, WaitsTimeOutInRealTimeAndAutoResetReleasesOneWaiter) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));

  // Two waiters on an auto-reset event: a set releases one of them and leaves the event reset,
  // whichever of the waiters has started waiting by then; a second set releases the other.
  std::atomic<int> woken{0};
  auto waiter = [](LPVOID arg) -> DWORD {
    auto* args = static_cast<std::pair<HANDLE, std::atomic<int>*>*>(arg);
    if (WaitForSingleObject(args->first, INFINITE) == WAIT_OBJECT_0) ++*args->second;
    return 0;
  };
  std::pair<HANDLE, std::atomic<int>*> args{e, &woken};
  HANDLE t1 = CreateThread(nullptr, 0, waiter, &args, 0, nullptr);
  HANDLE t2 = CreateThread(nullptr, 0, waiter, &args, 0, nullptr);
  SetEvent(e);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (woken.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  ASSERT_EQ(1, woken.load());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0)) << "the release reset the event";
  SetEvent(e);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t1, 30000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t2, 30000));
  EXPECT_EQ(2, woken.load());
  for (HANDLE h : {e, t1, t2}) CloseHandle(h);
}

TEST_F(SubsetTest, EventFaultsAndInvalidHandles) {
  win32sim::fail_nth_create_event(1);
  EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, u"named"));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  win32sim::fail_nth_reset_event(2);
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_FALSE(ResetEvent(e));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(0x13)), 0));
  EXPECT_FALSE(SetEvent(nullptr));
  CloseHandle(e);
}

TEST_F(SubsetTest, CloseHandleFailuresKeepTheObjectAndBadClosesCount) {
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  win32sim::fail_nth_close_handle(1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0)) << "still open";
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(1u, win32sim::misuse().bad_closes);
  expect_clean_ = false;
}

// ---- Device namespace ----

TEST_F(SubsetTest, CreateFileResolvesDosNamesToDevices) {
  win32sim::add_device(u"\\Device\\TEST", device_);
  win32sim::add_dos_name(u"Test", u"\\device\\test");
  win32sim::add_dos_name(u"ORPHAN", u"\\Device\\NONE");
  struct Case {
    const char16_t* path;
    DWORD disposition;
    uint32_t refuse;
    DWORD error;  // 0: opens
  } cases[] = {{u"\\\\.\\TEST", OPEN_EXISTING, 0, 0},
               {u"\\\\.\\tEsT", OPEN_EXISTING, 0, 0},
               {u"\\\\.\\MISSING", OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
               {u"\\\\.\\ORPHAN", OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
               {u"\\\\.\\TEST", CREATE_ALWAYS, 0, ERROR_INVALID_PARAMETER},
               {u"\\\\.\\TEST", OPEN_EXISTING, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION}};
  for (const Case& c : cases) {
    device_->refuse_open = c.refuse;
    HANDLE h = CreateFileW(c.path, GENERIC_READ, 0, nullptr, c.disposition, 0, nullptr);
    if (c.error == 0) {
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      EXPECT_NE(nullptr, h);
      EXPECT_EQ(1u, win32sim::open_file_handles());
      EXPECT_TRUE(CloseHandle(h));
    } else {
      EXPECT_EQ(INVALID_HANDLE_VALUE, h);
      EXPECT_EQ(c.error, GetLastError()) << win32sim::utf8(c.path);
    }
  }
  const auto log = win32sim::create_file_log();
  ASSERT_EQ(6u, log.size());
  EXPECT_EQ(u"\\\\.\\tEsT", log[1].path);
  EXPECT_EQ(uint32_t(CREATE_ALWAYS), log[4].disposition);
  EXPECT_EQ(0u, win32sim::open_file_handles());
}

TEST_F(SubsetTest, DefineDosDeviceStoresRawTargetsAndRejectsBadNames) {
  struct Case {
    DWORD flags;
    const char16_t* name;
    const char16_t* target;
    DWORD error;
  } bad[] = {{DDD_RAW_TARGET_PATH, u"A\\B", u"\\Device\\TEST", ERROR_INVALID_PARAMETER},
             {DDD_RAW_TARGET_PATH, u"", u"\\Device\\TEST", ERROR_INVALID_PARAMETER},
             {DDD_RAW_TARGET_PATH, nullptr, u"\\Device\\TEST", ERROR_INVALID_PARAMETER},
             {DDD_RAW_TARGET_PATH, u"X", nullptr, ERROR_INVALID_PARAMETER},
             {0, u"X", u"C:\\dir", ERROR_INVALID_PARAMETER},
             {DDD_REMOVE_DEFINITION, u"NEVER", nullptr, ERROR_FILE_NOT_FOUND}};
  for (const Case& c : bad) {
    EXPECT_FALSE(DefineDosDeviceW(c.flags, c.name, c.target));
    EXPECT_EQ(c.error, GetLastError());
  }
  win32sim::add_device(u"\\Device\\TEST", device_);
  win32sim::fail_next_define_dos_device(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"Packet_T", u"\\Device\\TEST"));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(win32sim::dos_name_target(u"Packet_T", nullptr));
  EXPECT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"Packet_T", u"\\Device\\TEST"));
  std::u16string target;
  EXPECT_TRUE(win32sim::dos_name_target(u"PACKET_T", &target));
  EXPECT_EQ(u"\\Device\\TEST", target);
  HANDLE h = CreateFileW(u"\\\\.\\Packet_T", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"Packet_T", nullptr));
  EXPECT_FALSE(win32sim::dos_name_target(u"Packet_T", nullptr));
  const auto log = win32sim::define_dos_device_log();
  ASSERT_EQ(std::size(bad) + 3, log.size());
  EXPECT_EQ(u"A\\B", log[0].name);
  EXPECT_EQ(uint32_t(DDD_RAW_TARGET_PATH), log[7].flags);
  EXPECT_EQ(u"\\Device\\TEST", log[7].target);
}

// ---- Device I/O ----

TEST_F(SubsetTest, SynchronousIoctlCopiesBackClampedOutput) {
  HANDLE h = open_device();
  uint8_t in[6] = {1, 2, 3, 4, 5, 6};
  uint8_t out[4] = {};
  DWORD returned = 99;
  device_->script(IoOutcome::Completed, 0, 100);
  EXPECT_TRUE(DeviceIoControl(h, 0x80000004, in, 6, out, 4, &returned, nullptr));
  EXPECT_EQ(4u, returned) << "clamped to the output size";
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6}), device_->inputs.at(0));
  EXPECT_EQ(0xA3, out[3]);
  device_->script(IoOutcome::Completed, ERROR_GEN_FAILURE, 2);
  EXPECT_FALSE(DeviceIoControl(h, 0x80000000, in, 6, out, 4, &returned, nullptr));
  EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
  EXPECT_EQ(2u, returned);
  const auto log = win32sim::io_log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(win32sim::IoCall::Ioctl, log[0].kind);
  EXPECT_EQ(0x80000000u, log[1].code);
  EXPECT_EQ(6u, log[1].in_size);
  EXPECT_EQ(4u, log[1].out_size);
  EXPECT_FALSE(log[1].overlapped);
  EXPECT_EQ(uint32_t(ERROR_GEN_FAILURE), log[1].error);
  CloseHandle(h);
}

TEST_F(SubsetTest, PendingIoctlWithoutOverlappedWaitsLikeWindows) {
  // Non-overlapped handle: the call waits for the completion and sees its output.
  HANDLE sync = open_device(0);
  uint8_t out[2] = {};
  DWORD returned = 0;
  device_->script(IoOutcome::Pending);
  std::thread completer([&] { device_->take_pending()->complete(0, 2); });
  EXPECT_TRUE(DeviceIoControl(sync, 1, nullptr, 0, out, 2, &returned, nullptr));
  completer.join();
  EXPECT_EQ(2u, returned);
  EXPECT_EQ(0xA1, out[1]);
  CloseHandle(sync);

  // Overlapped handle: the call waits on the handle, which another request's completion
  // signals too; it then returns TRUE with its own request still pending, and that request
  // later writes the output and a status block whose caller is gone.
  HANDLE async = open_device(FILE_FLAG_OVERLAPPED);
  OVERLAPPED other = {};
  uint8_t other_out[2];
  device_->script(IoOutcome::Pending);
  EXPECT_FALSE(DeviceIoControl(async, 1, nullptr, 0, other_out, 2, nullptr, &other));
  uint8_t late[2] = {7, 7};
  device_->script(IoOutcome::Pending);
  std::atomic<int> result{-1};
  std::thread caller([&] {
    DWORD n = 99;
    result = DeviceIoControl(async, 1, nullptr, 0, late, 2, &n, nullptr) ? int(n) : -2;
  });
  ASSERT_TRUE(device_->wait_pending(2));
  device_->take_pending()->complete(0, 2);  // the other request
  caller.join();
  EXPECT_EQ(0, result.load()) << "TRUE, nothing transferred yet";
  EXPECT_EQ(7, late[0]);
  device_->take_pending()->complete(0, 2);
  EXPECT_EQ(0xA0, late[0]) << "the driver's output arrives after the call returned";
  EXPECT_EQ(1u, win32sim::misuse().dead_status_blocks);
  CloseHandle(async);
  expect_clean_ = false;
}

TEST_F(SubsetTest, LateCompletionsIntoFreedMemoryAreCaught) {
  HANDLE h = open_device();
  // A write's bytes are read when it completes: a change after the call shows, and so does a
  // buffer freed before the completion.
  auto* frame = static_cast<uint8_t*>(GlobalAlloc(GPTR, 4));
  frame[0] = 1;
  auto* ov = static_cast<OVERLAPPED*>(GlobalAlloc(GPTR, sizeof(OVERLAPPED)));
  ov->Offset = 5;
  ov->OffsetHigh = 1;
  device_->script(IoOutcome::Pending);
  EXPECT_FALSE(WriteFile(h, frame, 4, nullptr, ov));
  auto write = device_->take_pending();
  EXPECT_EQ((uint64_t(1) << 32) | 5, write->offset());
  EXPECT_EQ((uint64_t(1) << 32) | 5, win32sim::io_log().at(0).offset);
  frame[0] = 2;
  EXPECT_EQ(2, write->frame().at(0));
  GlobalFree(frame);
  EXPECT_TRUE(win32sim::heap_block_freed(frame));
  EXPECT_EQ((std::vector<uint8_t>(4, 0xDD)), write->frame()) << "freed blocks are poisoned";
  EXPECT_EQ(1u, win32sim::misuse().late_reads);
  GlobalFree(ov);
  write->complete(0, 4);
  EXPECT_EQ(1u, win32sim::misuse().late_writes) << "the OVERLAPPED was freed";

  // A buffered request whose output buffer was freed before it completed.
  auto* record = static_cast<uint8_t*>(GlobalAlloc(GPTR, 8));
  OVERLAPPED live = {};
  device_->script(IoOutcome::Pending);
  DeviceIoControl(h, 1, record, 8, record, 8, nullptr, &live);
  GlobalFree(record);
  device_->take_pending()->complete(0, 8);
  EXPECT_EQ(2u, win32sim::misuse().late_writes);
  EXPECT_EQ(0u, live.Internal);
  CloseHandle(h);
  expect_clean_ = false;
}

TEST_F(SubsetTest, GetOverlappedResultWaitsOnceAndReportsWhatItFinds) {
  HANDLE h = open_device();
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov = {};
  ov.hEvent = e;
  const uint8_t frame[4] = {};
  device_->script(IoOutcome::Pending);
  EXPECT_FALSE(WriteFile(h, frame, 4, nullptr, &ov));
  std::thread stray([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(e);  // not the completion
  });
  DWORD n = 77;
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE)) << "woken, and STATUS_PENDING is success";
  stray.join();
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  EXPECT_EQ(0u, n);
  device_->take_pending()->complete(ERROR_GEN_FAILURE, 0);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
  CloseHandle(e);
  EXPECT_FALSE(WriteFile(h, frame, 4, nullptr, &ov)) << "a closed event is refused";
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  CloseHandle(h);
}

// As Windows does, a request issued with an event sets that event to non-signalled before it
// starts, so that an event reused from an earlier request is signalled only by this one's
// completion. Each of these calls is one kernel call; reading a finished request's status is
// none.
TEST_F(SubsetTest, IssuingARequestClearsItsEventAndCountsAsOneKernelCall) {
  HANDLE h = open_device();
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // signalled, as after a last request
  OVERLAPPED ov = {};
  ov.hEvent = e;
  uint8_t buffer[8] = {};
  device_->script(IoOutcome::Pending);
  win32sim::clear_kernel_calls();
  EXPECT_FALSE(DeviceIoControl(h, 0x80000004, buffer, 8, buffer, 8, nullptr, &ov));
  EXPECT_EQ(1u, win32sim::kernel_calls());
  EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(e, 0)) << "the old signal is gone";
  device_->take_pending()->complete(0, 8);
  EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(e, 0));
  win32sim::clear_kernel_calls();
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(0u, win32sim::kernel_calls()) << "the finished request's status is read in place";
  EXPECT_TRUE(DeviceIoControl(h, 0x80000004, buffer, 8, buffer, 8, nullptr, &ov));
  EXPECT_EQ(1u, win32sim::kernel_calls());
  CloseHandle(e);
  CloseHandle(h);
}

TEST_F(SubsetTest, OverlappedWritePaths) {
  HANDLE h = open_device();
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  const uint8_t frame[10] = {};
  struct Case {
    IoOutcome::Kind kind;
    uint32_t error;  // synchronous error, or the pending request's completion error
    BOOL result;
    DWORD last_error;   // after WriteFile
    bool signalled;     // event after WriteFile
    DWORD final_error;  // GetOverlappedResult after completion (0: succeeds)
  } cases[] = {
      {IoOutcome::Completed, 0, TRUE, 0, true, 0},
      {IoOutcome::Completed, ERROR_GEN_FAILURE, FALSE, ERROR_GEN_FAILURE, false, 0},
      {IoOutcome::Pending, 0, FALSE, ERROR_IO_PENDING, false, 0},
      {IoOutcome::Pending, ERROR_GEN_FAILURE, FALSE, ERROR_IO_PENDING, false, ERROR_GEN_FAILURE},
  };
  for (const Case& c : cases) {
    OVERLAPPED ov = {};
    ov.hEvent = e;
    SetEvent(e);
    device_->script(c.kind, c.kind == IoOutcome::Completed ? c.error : 0, 10);
    SetLastError(0);
    EXPECT_EQ(c.result, WriteFile(h, frame, sizeof frame, nullptr, &ov));
    EXPECT_EQ(c.last_error, GetLastError());
    EXPECT_EQ(c.signalled, WaitForSingleObject(e, 0) == WAIT_OBJECT_0);
    DWORD n = 0;
    if (c.kind == IoOutcome::Completed && c.error != 0) {
      // Refused without being pended: the OVERLAPPED still says pending.
      EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
      EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
      EXPECT_EQ(DWORD(ERROR_IO_INCOMPLETE), GetLastError());
      continue;
    }
    if (c.kind == IoOutcome::Pending) {
      EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
      EXPECT_EQ(DWORD(ERROR_IO_INCOMPLETE), GetLastError());
      auto io = device_->take_pending();
      std::thread later([io, &c] { io->complete(c.error, c.error ? 0 : 10); });
      later.join();
    }
    EXPECT_EQ(c.final_error == 0, GetOverlappedResult(h, &ov, &n, TRUE) != FALSE);
    if (c.final_error != 0) {
      EXPECT_EQ(c.final_error, GetLastError());
    } else {
      EXPECT_EQ(10u, n);
    }
  }
  EXPECT_FALSE(WriteFile(h, frame, sizeof frame, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  CloseHandle(e);
  CloseHandle(h);
}

TEST_F(SubsetTest, FileHandleSignalsCompletionWithoutEvent) {
  HANDLE h = open_device();
  OVERLAPPED ov = {};
  uint8_t out[4];
  device_->script(IoOutcome::Pending);
  EXPECT_FALSE(DeviceIoControl(h, 1, nullptr, 0, out, 4, nullptr, &ov));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 20));
  device_->take_pending()->complete(0, 3);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0)) << "manual reset";
  EXPECT_EQ(0u, ov.Internal);
  EXPECT_EQ(3u, ov.InternalHigh);
  EXPECT_EQ(0xA2, out[2]);
  device_->script(IoOutcome::Pending);
  OVERLAPPED second = {};
  DeviceIoControl(h, 1, nullptr, 0, out, 4, nullptr, &second);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0)) << "a new request clears the signal";
  std::thread later([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    device_->take_pending()->complete(0, 1);
  });
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &second, &n, TRUE)) << "waits on the file handle";
  EXPECT_EQ(1u, n);
  later.join();
  CloseHandle(h);
}

TEST_F(SubsetTest, CancelAndCloseAbortPendingRequests) {
  HANDLE h = open_device();
  OVERLAPPED a = {}, b = {};
  const uint8_t frame[4] = {};
  device_->script(IoOutcome::Pending);
  device_->script(IoOutcome::Pending);
  WriteFile(h, frame, 4, nullptr, &a);
  WriteFile(h, frame, 4, nullptr, &b);
  EXPECT_TRUE(CancelIoEx(h, &a));
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &a, &n, TRUE));
  EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_FALSE(CancelIoEx(h, &a)) << "nothing left to match";
  EXPECT_EQ(DWORD(ERROR_NOT_FOUND), GetLastError());
  EXPECT_EQ(1u, win32sim::pending_io_count());

  // The device ignores the cancel of the second request and completes it after the close.
  struct Stubborn : ScriptedDevice {
    void cancel(const std::shared_ptr<PendingIo>& io) override { held = io; }
    std::shared_ptr<PendingIo> held;
  };
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(2, device_->cancels.load());
  EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), DWORD(b.Internal & 0xFFFF));
  const auto log = win32sim::io_log();
  ASSERT_EQ(2u, log.size());
  EXPECT_TRUE(log[0].cancel_requested && log[1].cancel_requested);
  EXPECT_EQ(win32sim::IoCall::Completed, log[1].state);

  auto stubborn = std::make_shared<Stubborn>();
  device_ = stubborn;
  h = open_device();
  OVERLAPPED c = {};
  stubborn->script(IoOutcome::Pending);
  WriteFile(h, frame, 4, nullptr, &c);
  EXPECT_TRUE(CloseHandle(h)) << "returns at once";
  ASSERT_TRUE(stubborn->held);
  EXPECT_TRUE(stubborn->held->cancel_requested());
  stubborn->held->complete(0, 4);
  EXPECT_EQ(4u, c.InternalHigh);
  stubborn->held->complete(ERROR_GEN_FAILURE, 0);  // a second completion changes nothing
  EXPECT_EQ(0u, c.Internal);
  HANDLE idle = open_device();
  EXPECT_TRUE(CancelIo(idle)) << "nothing outstanding is no failure for CancelIo";
  CloseHandle(idle);
}

// ---- Threads and Sleep ----

TEST_F(SubsetTest, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<bool> ran{false};
  DWORD id = 0;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID arg) -> DWORD {
        static_cast<std::atomic<bool>*>(arg)->store(true);
        return 42;
      },
      &ran, CREATE_SUSPENDED, &id);
  ASSERT_NE(nullptr, t);
  EXPECT_NE(0u, id);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(ran.load());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(DWORD(STILL_ACTIVE), code);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
  EXPECT_EQ(1u, win32sim::live_threads());
  EXPECT_EQ(1u, ResumeThread(t));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 2000));
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(42u, code);
  EXPECT_EQ(0u, ResumeThread(t));
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_EQ(DWORD(-1), ResumeThread(t));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  win32sim::fail_nth_create_thread(1);
  EXPECT_EQ(nullptr, CreateThread(
                         nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr));
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(0u, win32sim::open_thread_handles());
}

TEST_F(SubsetTest, ThreadGateHoldsNewThreadsBeforeTheirFirstInstruction) {
  std::atomic<int> ran{0};
  win32sim::close_thread_gate();
  auto routine = [](LPVOID arg) -> DWORD {
    ++*static_cast<std::atomic<int>*>(arg);
    return 0;
  };
  HANDLE a = CreateThread(nullptr, 0, routine, &ran, 0, nullptr);
  HANDLE b = CreateThread(nullptr, 0, routine, &ran, CREATE_SUSPENDED, nullptr);
  EXPECT_TRUE(win32sim::wait_threads_at_gate(1, 2000));
  EXPECT_FALSE(win32sim::wait_threads_at_gate(2, 30)) << "a suspended thread is not at the gate";
  ResumeThread(b);
  EXPECT_TRUE(win32sim::wait_threads_at_gate(2, 2000));
  EXPECT_EQ(0, ran.load());
  win32sim::open_thread_gate();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 2000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 2000));
  EXPECT_EQ(2, ran.load());
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(SubsetTest, ModuleReferencesAndFreeLibraryAndExitThread) {
  EXPECT_EQ(1, win32sim::module_references()) << "the process's own load";
  HMODULE module = nullptr;
  EXPECT_FALSE(GetModuleHandleExW(0, u"talven.dll", &module)) << "by address only";
  EXPECT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
      reinterpret_cast<LPCWSTR>(&win32sim::module_references), &module));
  EXPECT_EQ(1, win32sim::module_references());
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(&win32sim::module_references), &module));
  EXPECT_EQ(2, win32sim::module_references());

  // The thread gives up the reference on its way out and never returns to its routine.
  static std::atomic<bool> returned{false};
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID m) -> DWORD {
        FreeLibraryAndExitThread(static_cast<HMODULE>(m), 7);
        returned = true;
        return 0;
      },
      module, CREATE_SUSPENDED, nullptr);
  EXPECT_TRUE(FreeLibrary(module)) << "the process unloads while the thread holds it";
  EXPECT_EQ(0u, win32sim::misuse().unloads_while_running);
  ResumeThread(t);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 2000));
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(7u, code);
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(0, win32sim::module_references());
  EXPECT_EQ(1u, win32sim::threads_ended_by_free_library());
  EXPECT_EQ(0u, win32sim::misuse().total());
  CloseHandle(t);

  // The last reference going while a thread still runs is misuse.
  win32sim::reset_machine();
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&win32sim::module_references), &module);
  HANDLE running = CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr);
  FreeLibrary(module);
  FreeLibrary(module);
  EXPECT_EQ(1u, win32sim::misuse().unloads_while_running);
  ResumeThread(running);
  WaitForSingleObject(running, 2000);
  CloseHandle(running);
  expect_clean_ = false;
}

TEST_F(SubsetTest, LastErrorIsPerThread) {
  SetLastError(5);
  std::thread([] {
    EXPECT_EQ(0u, GetLastError());
    SetLastError(6);
  }).join();
  EXPECT_EQ(5u, GetLastError());
}

TEST_F(SubsetTest, CountingSleepRecordsWithoutWaiting) {
  win32sim::set_sleep_mode(win32sim::SleepMode::Counting);
  const auto start = std::chrono::steady_clock::now();
  for (DWORD ms : {1000u, 10u, 1u}) Sleep(ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ((std::vector<uint32_t>{1000, 10, 1}), win32sim::sleep_log());
  win32sim::clear_sleep_log();
  win32sim::set_sleep_mode(win32sim::SleepMode::Real);
  Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_TRUE(win32sim::sleep_log().empty());
}

TEST_F(SubsetTest, HeldTickCountStandsStillWhileTimePasses) {
  win32sim::hold_tick_count(true);
  const DWORD held = GetTickCount();
  Sleep(30);
  EXPECT_EQ(held, GetTickCount());
  win32sim::hold_tick_count(false);
  EXPECT_GE(GetTickCount() - held, 30u);
}

// Each Sleep(1) on a 20 ms tick ends on a tick after the one that ended the previous sleep: five
// in a row span at least four ticks whatever the machine's load (a lower bound only).
TEST_F(SubsetTest, SleepWakesOnTheTimerTick) {
  win32sim::set_sleep_tick_us(20000);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) Sleep(1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
}

// ---- Registry and services ----

TEST_F(SubsetTest, RegistryOpensPathsAndFollowsTheSizeRules) {
  const std::vector<uint8_t> bytes = {'a', 0, 0, 0, 0, 0};
  win32sim::reg_set_value(u"SYSTEM\\Services\\X\\Linkage", u"Export", REG_MULTI_SZ, bytes);
  win32sim::reg_deny_key(u"SYSTEM\\Secret", ERROR_ACCESS_DENIED);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Nope", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Secret", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"system\\SERVICES\\x\\linkage", 0, KEY_READ, &key));
  EXPECT_EQ(1u, win32sim::open_reg_keys());

  struct Case {
    const char16_t* name;
    bool with_data;
    DWORD size_in;
    LSTATUS status;
    DWORD size_out;
    DWORD type_out;
  } cases[] = {{u"Missing", true, 100, ERROR_FILE_NOT_FOUND, 100, 0xEE},
               {u"export", false, 0, ERROR_SUCCESS, 6, REG_MULTI_SZ},
               {u"Export", true, 5, ERROR_MORE_DATA, 6, REG_MULTI_SZ},
               {u"Export", true, 6, ERROR_SUCCESS, 6, REG_MULTI_SZ},
               {u"Export", true, 64, ERROR_SUCCESS, 6, REG_MULTI_SZ}};
  for (const Case& c : cases) {
    std::vector<uint8_t> data(64, 0x55);
    DWORD size = c.size_in, type = 0xEE;
    EXPECT_EQ(c.status, RegQueryValueExW(key, c.name, nullptr, &type,
                                         c.with_data ? data.data() : nullptr, &size));
    EXPECT_EQ(c.size_out, size);
    EXPECT_EQ(c.type_out, type);
    const bool copied = c.status == ERROR_SUCCESS && c.with_data;
    EXPECT_EQ(copied, std::equal(bytes.begin(), bytes.end(), data.begin())) << c.size_in;
    if (copied) {
      EXPECT_EQ(0x55, data[6]) << "nothing beyond the value";
    }
  }
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
  EXPECT_EQ(1u, win32sim::misuse().bad_closes);
  const auto log = win32sim::reg_open_log();
  ASSERT_EQ(3u, log.size());
  EXPECT_TRUE(log[2].parent_is_hklm);
  EXPECT_EQ(uint32_t(KEY_READ), log[2].sam);
  EXPECT_EQ(0u, win32sim::open_reg_keys());
  expect_clean_ = false;
}

TEST_F(SubsetTest, ServicesStartOnceAndReportScriptedErrors) {
  int started = 0;
  win32sim::ServiceConfig config;
  config.on_start = [&] { ++started; };
  win32sim::add_service(u"NORVAKS", config);
  win32sim::ServiceConfig disabled;
  disabled.start_error = ERROR_SERVICE_DISABLED;
  win32sim::add_service(u"OFF", disabled);

  win32sim::fail_open_sc_manager(ERROR_ACCESS_DENIED);
  EXPECT_EQ(nullptr, OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  win32sim::fail_open_sc_manager(0);
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(nullptr, scm);
  EXPECT_EQ(nullptr, OpenServiceW(scm, u"ABSENT", SERVICE_ALL_ACCESS));
  EXPECT_EQ(DWORD(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  SC_HANDLE svc = OpenServiceW(scm, u"norvaks", SERVICE_ALL_ACCESS);
  SC_HANDLE off = OpenServiceW(scm, u"OFF", SERVICE_ALL_ACCESS);
  EXPECT_EQ(3u, win32sim::open_sc_handles()) << "manager and two services";
  EXPECT_TRUE(StartServiceW(svc, 0, nullptr));
  EXPECT_TRUE(win32sim::service_running(u"NORVAKS"));
  EXPECT_EQ(1, started);
  EXPECT_FALSE(StartServiceW(svc, 0, nullptr));
  EXPECT_EQ(DWORD(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());
  EXPECT_FALSE(StartServiceW(off, 0, nullptr));
  EXPECT_EQ(DWORD(ERROR_SERVICE_DISABLED), GetLastError());
  EXPECT_FALSE(win32sim::service_running(u"OFF"));
  EXPECT_EQ(1, started);
  const auto starts = win32sim::start_service_log();
  ASSERT_EQ(3u, starts.size());
  EXPECT_TRUE(starts[0].argv_null);
  EXPECT_EQ(0u, starts[0].argc);
  for (SC_HANDLE h : {off, svc, scm}) EXPECT_TRUE(CloseServiceHandle(h));
  EXPECT_EQ(0u, win32sim::open_sc_handles());
}

// ---- Text ----

TEST_F(SubsetTest, WsprintfFormatsAsWindows) {
  struct Case {
    const char* expected;
    std::function<int(WCHAR*)> format;
  } cases[] = {
      {"0x422(1058)", [](WCHAR* b) { return wsprintfW(b, u"0x%X(%d)", 1058, 1058); }},
      {"-5 4294967291 fffffffb", [](WCHAR* b) { return wsprintfW(b, u"%d %u %x", -5, -5, -5); }},
      {"\\\\.\\Packet_{AB}",
       [](WCHAR* b) { return wsprintfW(b, u"\\\\.\\%s%s", u"Packet_", u"{AB}"); }},
      {"[  7][7  ][-0042]", [](WCHAR* b) { return wsprintfW(b, u"[%3d][%-3d][%05d]", 7, 7, -42); }},
      {"0xff 0XFF 0", [](WCHAR* b) { return wsprintfW(b, u"%#x %#X %#x", 255, 255, 0); }},
      {"abc|  ab|x|100%",
       [](WCHAR* b) { return wsprintfW(b, u"%.3s|%4.2s|%c|100%%", u"abcdef", u"abc", u'x'); }},
      {"-32768 12 ffffffff",
       [](WCHAR* b) { return wsprintfW(b, u"%hd %li %lx", 0x18000, 12, -1); }},
      {"(null)", [](WCHAR* b) { return wsprintfW(b, u"%s", static_cast<const WCHAR*>(nullptr)); }},
  };
  for (const Case& c : cases) {
    WCHAR buffer[1024];
    const int n = c.format(buffer);
    EXPECT_EQ(c.expected, win32sim::utf8(buffer));
    EXPECT_EQ(lstrlenW(buffer), n);
  }
  const std::u16string longer(2000, u'z');
  std::vector<WCHAR> big(4096, u'#');
  EXPECT_EQ(1023, wsprintfW(big.data(), u"%s", longer.c_str()));
  EXPECT_EQ(0, big[1023]);
  EXPECT_EQ(u'#', big[1024]);
  EXPECT_EQ(0, lstrlenW(nullptr));
}

TEST_F(SubsetTest, DebugStringsAndMessageBoxesAreCapturedInOrder) {
  OutputDebugStringW(u"first\n");
  std::thread([] { OutputDebugStringW(u"second \u00e9\n"); }).join();
  OutputDebugStringW(u"third\n");
  EXPECT_EQ((std::vector<std::string>{"first\n", "second \xc3\xa9\n", "third\n"}),
            win32sim::debug_strings_utf8());
  EXPECT_EQ(IDOK, MessageBoxW(nullptr, u"text", u"caption", MB_OK | MB_ICONERROR));
  const auto boxes = win32sim::message_boxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(u"caption", boxes[0].caption);
  EXPECT_EQ(uint32_t(MB_ICONERROR), boxes[0].type);
  win32sim::reset_machine();
  EXPECT_TRUE(win32sim::debug_strings().empty());
  EXPECT_TRUE(win32sim::message_boxes().empty());
  EXPECT_EQ(u"\U0001F600", win32sim::u16(win32sim::utf8(u"\U0001F600")));
}

// ---- Failure injection and request lifetime ----

namespace injection {

// A device that pends every request and forgets it: nobody ever completes it, a cancel is
// ignored.
class ForgetfulDevice : public win32sim::Device {
 public:
  IoOutcome device_control(uint32_t, uint8_t*, uint32_t, uint32_t,
                           const std::shared_ptr<PendingIo>&) override {
    return {IoOutcome::Pending, 0, 0};
  }
  IoOutcome write(const uint8_t*, uint32_t, const std::shared_ptr<PendingIo>&) override {
    return {IoOutcome::Pending, 0, 0};
  }
  void cancel(const std::shared_ptr<PendingIo>&) override {}
};

}  // namespace injection

TEST_F(SubsetTest, ARequestNobodyCompletesDoesNotKeepItsClosedFileAlive) {
  auto device = std::make_shared<injection::ForgetfulDevice>();
  std::weak_ptr<win32sim::Device> watch = device;
  win32sim::add_device(u"\\Device\\GONE", device);
  device.reset();
  win32sim::add_dos_name(u"GONE", u"\\Device\\GONE");
  HANDLE h = CreateFileW(u"\\\\.\\GONE", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  auto* request = static_cast<OVERLAPPED*>(GlobalAlloc(GPTR, sizeof(OVERLAPPED)));
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(h, 0x80000008u, nullptr, 0, nullptr, 0, &bytes, request));
  EXPECT_EQ(DWORD(ERROR_IO_PENDING), GetLastError());
  EXPECT_TRUE(CloseHandle(h));
  win32sim::remove_device(u"\\Device\\GONE");
  // The file, its pending request and the device they hold are gone with the last handle.
  EXPECT_TRUE(watch.expired());
  GlobalFree(request);
}

TEST_F(SubsetTest, InjectedDeviceControlOutcomes) {
  HANDLE h = open_device();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  struct Case {
    win32sim::Injection::Kind kind;
    BOOL result;
    DWORD error;
    bool reaches_device;
    bool answer_copied;
  } cases[] = {
      {win32sim::Injection::Fail, FALSE, 31, false, false},         // ERROR_GEN_FAILURE
      {win32sim::Injection::FailAnswered, FALSE, 234, true, true},  // ERROR_MORE_DATA
      {win32sim::Injection::Pend, FALSE, 997, true, true},          // ERROR_IO_PENDING
      {win32sim::Injection::None, TRUE, 0, true, true},
  };
  for (const Case& c : cases) {
    if (c.reaches_device) device_->script(IoOutcome::Completed, 0, 4);
    std::vector<win32sim::ApiCall> seen;
    win32sim::set_injection_hook([&](const win32sim::ApiCall& call) {
      seen.push_back(call);
      win32sim::Injection out;
      if (call.api != win32sim::Api::DeviceIoControl) return out;
      out.kind = c.kind;
      out.edit_answer = [](uint8_t* answer, uint32_t size) {
        if (size > 0) answer[0] = 0x5A;
      };
      return out;
    });
    const size_t before = device_->inputs.size();
    uint8_t in[4] = {1, 2, 3, 4}, out[4] = {};
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_EQ(c.result, DeviceIoControl(h, 0x80000004u, in, 4, out, 4, &bytes, &ov)) << c.kind;
    EXPECT_EQ(c.error, GetLastError()) << c.kind;
    win32sim::set_injection_hook(nullptr);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(0x80000004u, seen[0].code);
    EXPECT_EQ(4u, seen[0].in_size);
    EXPECT_EQ(c.reaches_device, device_->inputs.size() == before + 1) << c.kind;
    // The answer the caller gets is the device's, edited by the hook: 0x5A, 0xA1, ...
    const uint8_t expected[4] = {0x5A, 0xA1, 0xA2, 0xA3};
    EXPECT_EQ(c.answer_copied, std::memcmp(out, expected, 4) == 0) << c.kind;
    if (c.kind == win32sim::Injection::Pend) {
      EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));  // completed already
      EXPECT_EQ(4u, bytes);
    }
  }
  CloseHandle(event);
  CloseHandle(h);
}

TEST_F(SubsetTest, InjectedFailuresOfTheOtherCalls) {
  win32sim::set_injection_hook([](const win32sim::ApiCall&) {
    win32sim::Injection out;
    out.kind = win32sim::Injection::Fail;
    return out;
  });
  EXPECT_EQ(nullptr, GlobalAlloc(GPTR, 8));
  EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HKEY key = nullptr;
  EXPECT_EQ(5, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key));  // access denied
  EXPECT_EQ(nullptr, OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(u"\\\\.\\TEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  win32sim::set_injection_hook(nullptr);
  EXPECT_EQ(0u, win32sim::heap_live_blocks());
  EXPECT_EQ(0u, win32sim::open_event_handles());
  EXPECT_EQ(0u, win32sim::open_reg_keys());
  EXPECT_EQ(0u, win32sim::open_sc_handles());
  HGLOBAL block = GlobalAlloc(GPTR, 8);  // without the hook the calls work again
  EXPECT_NE(nullptr, block);
  GlobalFree(block);
}

}  // namespace
