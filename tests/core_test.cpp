// Adapter open and close, the OidData transport and the command-completion wait.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "library/core/adapter.h"
#include "library/core/record.h"
#include "support/machine.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace talven_test {
namespace {

class OpenCloseTest : public MachineTest {};

TEST_F(OpenCloseTest, FirstOpenSucceedsWithOneMessageAndExactArguments) {
  win32sim::add_dos_name(kDosName, kDevicePath);
  adapter_ = OpenDUT(w(kDevicePath));
  ASSERT_NE(nullptr, adapter_);
  EXPECT_EQ(std::vector<std::string>{"OpenDUT success.\n"}, debug());
  EXPECT_EQ(std::u16string(kDeviceFile), reinterpret_cast<const char16_t*>(adapter_->DeviceName));

  const auto opens = win32sim::create_file_log();
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ(kDeviceFile, opens[0].path);
  EXPECT_EQ(0xC0000000u, opens[0].access);
  EXPECT_EQ(0u, opens[0].share);
  EXPECT_EQ(3u, opens[0].disposition);
  EXPECT_EQ(0x40000000u, opens[0].flags);
  EXPECT_TRUE(win32sim::define_dos_device_log().empty());

  // The record is a movable, zero-initialised global block.
  const auto allocs = win32sim::heap_alloc_log();
  ASSERT_EQ(1u, allocs.size());
  EXPECT_EQ(0x42u, allocs[0].flags);
  EXPECT_EQ(sizeof(talven::AdapterRecord), allocs[0].size);
}

TEST_F(OpenCloseTest, FallbackDefinesTheDosNameAndRetriesSilently) {
  adapter_ = OpenDUT(w(kDevicePath));
  ASSERT_NE(nullptr, adapter_);
  EXPECT_TRUE(debug().empty()) << "a successful retry emits nothing";
  EXPECT_EQ(2u, win32sim::create_file_log().size());

  const auto defines = win32sim::define_dos_device_log();
  ASSERT_EQ(1u, defines.size());
  EXPECT_EQ(1u, defines[0].flags);  // DDD_RAW_TARGET_PATH
  EXPECT_EQ(kDosName, defines[0].name);
  EXPECT_EQ(kDevicePath, defines[0].target);

  EXPECT_EQ(1u, CloseDUT(adapter_));
  adapter_ = nullptr;
  std::u16string target;
  EXPECT_TRUE(win32sim::dos_name_target(kDosName, &target)) << "CloseDUT never removes it";
  EXPECT_EQ(kDevicePath, target);
}

TEST_F(OpenCloseTest, FailedDefinitionReportsAndDoesNotRetry) {
  win32sim::fail_next_define_dos_device(5);
  EXPECT_EQ(nullptr, OpenDUT(w(kDevicePath)));
  EXPECT_EQ((std::vector<std::string>{"TALVEN:: DefineDosDevice() failed !!!\n",
                                      "TALVEN: OpenDUT Could not open adapter\n"}),
            debug());
  EXPECT_EQ(1u, win32sim::create_file_log().size());
}

TEST_F(OpenCloseTest, FailedRetryReportsAndTakesBackItsOwnDefinition) {
  const char16_t* missing = u"\\Device\\NOSUCHADAPTER";
  win32sim::add_dos_name(u"Packet_OTHER", u"\\Device\\OTHER");
  for (int poll = 0; poll < 3; ++poll) {
    win32sim::clear_debug_strings();
    EXPECT_EQ(nullptr, OpenDUT(w(missing)));
    EXPECT_EQ((std::vector<std::string>{"TALVEN:: CreateFile() failed !!!\n",
                                        "TALVEN: OpenDUT Could not open adapter\n"}),
              debug());
    EXPECT_FALSE(win32sim::dos_name_target(u"Packet_NOSUCHADAPTER", nullptr))
        << "a station polling for an absent adapter leaves no mappings behind";
  }
  EXPECT_EQ(6u, win32sim::create_file_log().size());
  const auto defines = win32sim::define_dos_device_log();
  ASSERT_EQ(6u, defines.size());
  EXPECT_EQ(1u, defines[0].flags);
  // DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, the same name and
  // target: exactly the definition just made.
  EXPECT_EQ(7u, defines[1].flags);
  EXPECT_EQ(u"Packet_NOSUCHADAPTER", defines[1].name);
  EXPECT_EQ(missing, defines[1].target);
  EXPECT_TRUE(win32sim::dos_name_target(u"Packet_OTHER", nullptr)) << "other names stay";
}

TEST_F(OpenCloseTest, EightCharacterPathOpensTheBarePrefix) {
  EXPECT_EQ(nullptr, OpenDUT(w(u"\\Device\\")));
  const auto opens = win32sim::create_file_log();
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(u"\\\\.\\Packet_", opens[0].path);
  ASSERT_EQ(2u, win32sim::define_dos_device_log().size()) << "defined, then taken back";
  EXPECT_EQ(u"Packet_", win32sim::define_dos_device_log()[0].name);
}

TEST_F(OpenCloseTest, SixtyCharacterPathFillsTheNameExactly) {
  const std::u16string path = u"\\Device\\" + std::u16string(52, u'A');
  ASSERT_EQ(60u, path.size());
  win32sim::add_device(path, win32sim::make_simulated_adapter_device(sim_));
  adapter_ = OpenDUT(w(path.c_str()));
  ASSERT_NE(nullptr, adapter_);
  const auto* name = reinterpret_cast<const char16_t*>(adapter_->DeviceName);
  EXPECT_EQ(63u, std::char_traits<char16_t>::length(name));
  EXPECT_EQ(u"Packet_" + std::u16string(52, u'A'), win32sim::define_dos_device_log()[0].name);
}

TEST_F(OpenCloseTest, InvalidPathsAreRefusedBeforeAnythingHappens) {
  const std::u16string too_short = u"\\Device";
  const std::u16string too_long = u"\\Device\\" + std::u16string(53, u'A');
  for (const char16_t* path :
       {static_cast<const char16_t*>(nullptr), too_short.c_str(), too_long.c_str(), u""}) {
    win32sim::clear_debug_strings();
    const uint64_t allocs = win32sim::heap_alloc_calls();
    EXPECT_EQ(nullptr, OpenDUT(w(path)));
    EXPECT_EQ(allocs, win32sim::heap_alloc_calls()) << "nothing is allocated";
    EXPECT_EQ(1u, debug().size());
  }
  EXPECT_TRUE(win32sim::create_file_log().empty());
  EXPECT_TRUE(win32sim::define_dos_device_log().empty());
}

TEST_F(OpenCloseTest, AllocationFailureEmitsBothMessagesAndOpensNothing) {
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(nullptr, OpenDUT(w(kDevicePath)));
  EXPECT_EQ((std::vector<std::string>{"   TALVEN: OpenDUT GlobalAlloc Failed\n",
                                      "<==TALVEN: -OpenDUT\n"}),
            debug());
  EXPECT_TRUE(win32sim::create_file_log().empty());
}

TEST_F(OpenCloseTest, CloseReleasesTheRecordOrKeepsItWhenTheCloseFails) {
  open();
  win32sim::fail_nth_close_handle(1, 6);
  EXPECT_EQ(0u, CloseDUT(adapter_));
  EXPECT_EQ(std::vector<std::string>{"TALVEN: CloseDUT CloseHandle() failed !!!\n"}, debug());
  EXPECT_EQ(baseline_blocks_ + 1, win32sim::heap_live_blocks()) << "record stays allocated";

  win32sim::clear_debug_strings();
  EXPECT_EQ(1u, CloseDUT(adapter_));
  adapter_ = nullptr;
  EXPECT_EQ(std::vector<std::string>{"TALVEN: CloseDUT Success.\n"}, debug());
}

TEST_F(OpenCloseTest, CloseOfNullReturnsZero) {
  EXPECT_EQ(0u, CloseDUT(nullptr));
}

// Loading does nothing; the process detach closes the events that requests keep between calls
// (and nothing else: no heap, no debug string), after which requests get new ones.
TEST_F(OpenCloseTest, EntryPointOnlyClosesTheRequestEventsAtDetach) {
  open();
  ULONG power = 0;
  EXPECT_EQ(1u, GetTxPowerControl(adapter_, &power));
  EXPECT_EQ(1u, GetTxPowerControl(adapter_, &power));
  EXPECT_EQ(1u, win32sim::open_event_handles()) << "one event, kept and reused";
  const uint64_t allocs = win32sim::heap_alloc_calls();
  for (DWORD reason : {1u, 2u, 3u, 0xFFFFFFFFu}) EXPECT_EQ(TRUE, DllMain(nullptr, reason, nullptr));
  EXPECT_EQ(1u, win32sim::open_event_handles());
  EXPECT_EQ(TRUE, DllMain(nullptr, 0, nullptr));  // DLL_PROCESS_DETACH
  EXPECT_EQ(0u, win32sim::open_event_handles());
  EXPECT_EQ(allocs, win32sim::heap_alloc_calls());
  EXPECT_TRUE(win32sim::debug_strings().empty());
  EXPECT_EQ(1u, GetTxPowerControl(adapter_, &power));
  EXPECT_EQ(1u, win32sim::open_event_handles());
}

// ---- OidData transport ----

class TransportTest : public MachineTest {};

TEST_F(TransportTest, TransferSizeAndDirectionFollowLengthAndTheLowByte) {
  struct Case {
    uint32_t length;
    ULONG direction;
    uint32_t code;
    uint32_t size;
    size_t block;
  } cases[] = {
      {4, 1, 0x80000000, 307, 307},     {12, 1, 0x80000000, 315, 315},
      {4, 0, 0x80000004, 307, 307},     {28, 0, 0x80000004, 331, 331},
      {4, 0x100, 0x80000004, 307, 307}, {2000, 0, 0x80000004, 2303, 2303},
      {0, 1, 0x80000000, 303, 304},
  };
  open();
  for (const Case& c : cases) {
    sim_->clear_requests();
    win32sim::clear_heap_alloc_log();
    talven::OidRecord record(0xFF4D10FE, c.length);  // an OID the driver refuses
    ASSERT_TRUE(record);
    EXPECT_EQ(0u, talven::OidRequest(adapter_, c.direction, record));
    const auto log = sim_->requests();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(c.code, log[0].code) << c.length;
    EXPECT_EQ(c.size, log[0].in_size);
    EXPECT_EQ(c.size, log[0].out_size);
    EXPECT_EQ(c.block, win32sim::heap_alloc_log().at(0).size);
    EXPECT_EQ(0x42u, win32sim::heap_alloc_log().at(0).flags);
  }
}

TEST_F(TransportTest, UnsetBytesReachTheDriverAsZero) {
  open();
  talven::OidRecord record(wire::OID_SET_CHANNEL, 4);
  record.set_param(0, 11);
  EXPECT_EQ(1u, talven::OidRequest(adapter_, true, record));
  const Request r = sim_->requests().at(0);
  std::vector<uint8_t> expected(307, 0);
  wire::put_u32(expected.data(), 0xFF4D1008);
  wire::put_u32(expected.data() + 4, 4);
  wire::put_u32(expected.data() + 8, 11);
  EXPECT_EQ(expected, r.bytes);
}

TEST_F(TransportTest, QueryReadsTheAnswerInPlaceAndAFailureReturnsZero) {
  open();
  talven::OidRecord query(wire::OID_QUERY_RF_TYPE, 4);
  EXPECT_EQ(1u, talven::OidRequest(adapter_, false, query));
  EXPECT_EQ(config_.rf_type, query.param(0));

  sim_->add_fault({wire::OID_QUERY_RF_TYPE, simadapter::Fault::FailRequest});
  talven::OidRecord failed(wire::OID_QUERY_RF_TYPE, 4);
  EXPECT_EQ(0u, talven::OidRequest(adapter_, false, failed));
}

TEST_F(TransportTest, LengthWhoseTransferSizeOverflowsIsRefusedWithoutAllocating) {
  const uint64_t allocs = win32sim::heap_alloc_calls();
  for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFFu - 302}) {
    talven::OidRecord record(wire::OID_WRITE_CIS_DATA, length);
    EXPECT_FALSE(record);
  }
  EXPECT_EQ(allocs, win32sim::heap_alloc_calls());
  // The longest record whose transfer size fits is not refused (sized only: a 4 GB block would
  // cost the sanitizer builds seconds).
  EXPECT_EQ(SIZE_T{0xFFFFFFFFu}, talven::OidRecord::block_size_for(0xFFFFFFFFu - 303));
}

TEST_F(TransportTest, PendedRequestIsWaitedForThroughItsOwnEvent) {
  using simadapter::Completion;
  open();
  // Every request carries an OVERLAPPED with an event; a pended answer still arrives.
  sim_->set_oid_completion({Completion::Later, 0, 20000}, 1);
  ULONG type = 0;
  EXPECT_EQ(1u, QueryRFType(adapter_, &type));
  EXPECT_EQ(3u, type);
  const auto log = win32sim::io_log();
  ASSERT_EQ(1u, log.size());
  EXPECT_TRUE(log[0].overlapped);
  EXPECT_EQ(win32sim::IoCall::Completed, log[0].state);

  // A pended request that then fails counts as failed.
  sim_->add_fault({0xFF0111CA, simadapter::Fault::FailRequest, false, 0, 1});
  sim_->set_oid_completion({Completion::Later, 0, 20000}, 1);
  type = 0xEE;
  EXPECT_EQ(0u, QueryRFType(adapter_, &type));

  // The call does not return, and the record is not released, before the driver completes.
  sim_->set_oid_completion({Completion::Held, 0, 0}, 1);
  std::atomic<int> result{-1};
  std::thread caller([&] { result = int(SetChannelDirectCall(adapter_, 11)); });
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(-1, result.load()) << "returned while its request was pending";
  sim_->release_held();
  caller.join();
  EXPECT_EQ(1, result.load()) << "the command was accepted, and its completion awaited";
  EXPECT_FALSE(sim_->requests_for(0xFF4E5280).empty());
}

// The device handle is signalled by the completion of any request issued without an event; a
// pended OID request must not take that for its own completion.
TEST_F(TransportTest, PendedRequestIgnoresOtherCompletionsOnTheHandle) {
  using simadapter::Completion;
  open();
  sim_->set_oid_completion({Completion::Held, 0, 0}, 1);
  std::atomic<int> result{-1};
  ULONG type = 0xEE;
  std::thread caller([&] { result = int(QueryRFType(adapter_, &type)); });
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  OVERLAPPED other = {};  // no event: its completion signals the handle
  DWORD n = 0;
  EXPECT_TRUE(DeviceIoControl(adapter_->Handle, 0x80000008, nullptr, 0, nullptr, 0, &n, &other));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(adapter_->Handle, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(-1, result.load()) << "returned on another request's completion";
  sim_->release_held();
  caller.join();
  EXPECT_EQ(1, result.load());
  EXPECT_EQ(3u, type);
}

// On the fast path (the driver completes at once, a command is finished at its first poll) an
// operation makes one kernel call per record it sends, the DeviceIoControl: no event is created,
// reset or closed per request.
TEST_F(TransportTest, FastPathMakesOneKernelCallPerRecord) {
  struct Case {
    const char* name;
    std::function<ULONG(Adapter*)> call;
    uint64_t records;
  } cases[] = {
      {"GetTxPowerControl",
       [](Adapter* a) {
         ULONG v;
         return GetTxPowerControl(a, &v);
       },
       1},
      {"SetChannelDirectCall", [](Adapter* a) { return SetChannelDirectCall(a, 11); }, 2},
      {"ReadEEpromByte",
       [](Adapter* a) {
         UCHAR b;
         return ReadEEpromByte(a, 7, &b);
       },
       2},
  };
  sim_->set_completion_polls(0);
  open();
  ULONG power = 0;
  ASSERT_EQ(1u, GetTxPowerControl(adapter_, &power));  // the first request creates the event
  for (const Case& c : cases) {
    sim_->clear_requests();
    win32sim::clear_kernel_calls();
    EXPECT_EQ(1u, c.call(adapter_)) << c.name;
    EXPECT_EQ(c.records, sim_->request_count()) << c.name;
    EXPECT_EQ(c.records, win32sim::kernel_calls()) << c.name;
  }
}

// Two requests in flight at once never share an event: the one held by the driver keeps its
// own, and the other's completion does not end it.
TEST_F(TransportTest, RequestsInFlightTogetherHaveEventsOfTheirOwn) {
  using simadapter::Completion;
  open();
  sim_->set_oid_completion({Completion::Held, 0, 0}, 1);
  std::atomic<int> result{-1};
  ULONG type = 0;
  std::thread caller([&] { result = int(QueryRFType(adapter_, &type)); });
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  ULONG power = 0;
  EXPECT_EQ(1u, GetTxPowerControl(adapter_, &power));
  const auto log = win32sim::io_log();
  ASSERT_EQ(2u, log.size());
  EXPECT_NE(nullptr, log[0].event);
  EXPECT_NE(log[0].event, log[1].event);
  EXPECT_EQ(2u, win32sim::open_event_handles());
  sim_->release_held();
  caller.join();
  EXPECT_EQ(1, result.load());
  EXPECT_EQ(3u, type);
  EXPECT_FALSE(win32sim::io_log()[0].cancel_requested);
}

// A pended request whose wait fails, or whose event something else signals, is not left in
// the driver's hands with the caller's memory: it is cancelled and its end awaited, and the call
// returns 0. A driver that ignores the cancel keeps the record, which its late completion then
// writes into, for good.
TEST_F(TransportTest, RequestWhoseWaitFailsIsCancelledOrKeepsItsMemory) {
  using simadapter::Completion;
  struct Case {
    bool foreign_signal;  // the event is set by other code; otherwise the wait fails
    Completion cancel;
    size_t kept;  // records left to the driver
  } cases[] = {{false, {Completion::Now, 0, 0}, 0},
               {false, {Completion::Never, 0, 0}, 1},
               {true, {Completion::Now, 0, 0}, 0}};
  open();
  win32sim::set_sleep_mode(win32sim::SleepMode::Real);
  long references = 1;
  for (const Case& c : cases) {
    const std::string what = "row " + std::to_string(&c - cases);
    sim_->set_cancel_completion(c.cancel);
    sim_->set_oid_completion({Completion::Held, 0, 0}, 1);
    win32sim::clear_io_log();
    std::atomic<bool> failed{c.foreign_signal};
    win32sim::set_injection_hook([&failed](const win32sim::ApiCall& call) {
      win32sim::Injection out;
      if (call.api == win32sim::Api::GetOverlappedResult && !failed.exchange(true))
        out.kind = win32sim::Injection::Fail;
      return out;
    });
    const size_t blocks = win32sim::heap_live_blocks();
    ULONG type = 0xEE;
    std::atomic<int> result{-1};
    std::thread caller([&] { result = int(QueryRFType(adapter_, &type)); });
    if (c.foreign_signal) {
      ASSERT_TRUE(sim_->wait_held(1, 5000));
      ASSERT_TRUE(eventually([] { return win32sim::io_log().size() == 1; }));
      SetEvent(win32sim::io_log()[0].event);
    }
    caller.join();
    win32sim::set_injection_hook(nullptr);
    EXPECT_EQ(0, result.load()) << what;
    EXPECT_EQ(0u, type) << what << ": no answer came back";
    ASSERT_EQ(1u, win32sim::io_log().size());
    EXPECT_TRUE(win32sim::io_log()[0].cancel_requested) << what;
    EXPECT_EQ(c.kept, win32sim::pending_io_count()) << what;
    EXPECT_EQ(blocks + c.kept, win32sim::heap_live_blocks()) << what;
    references += long(c.kept);
    EXPECT_EQ(references, win32sim::module_references()) << what << ": the slot's image stays";
    // A request sent while the abandoned one is still with the driver gets another event.
    EXPECT_EQ(1u, QueryRFType(adapter_, &type)) << what;
    ASSERT_EQ(2u, win32sim::io_log().size());
    EXPECT_TRUE(c.kept == 0 || win32sim::io_log()[0].event != win32sim::io_log()[1].event) << what;
    sim_->release_held();
    EXPECT_EQ(0u, win32sim::pending_io_count());
    EXPECT_EQ(1u, QueryRFType(adapter_, &type)) << "the next request has a slot of its own";
  }
  EXPECT_EQ(0u, win32sim::misuse().late_writes);
  baseline_blocks_ += 1;
}

// ---- Command completion wait ----

class WaitTest : public MachineTest {
 protected:
  std::vector<Request> status_polls() const { return sim_->requests_for(0xFF4E5280); }
};

TEST_F(WaitTest, CheckedIdsCompareAndDeliverTheResultWordOthersAcceptAnyCompletion) {
  struct Case {
    int32_t awaited;
    int64_t reported;  // -1: the real id of the channel command (24)
    BOOLEAN expected;
    bool output_written;
  } cases[] = {
      {4, 5, FALSE, false},   {24, 3, TRUE, false}, {13, 13, TRUE, true}, {0, 31, TRUE, false},
      {16, 15, FALSE, false}, {1, 1, TRUE, true},   {17, 2, TRUE, false}, {-1, 9, TRUE, false},
  };
  open();
  for (const Case& c : cases) {
    sim_->set_reported_command_id(c.reported);
    start_channel_command(adapter_);
    sim_->clear_requests();
    ULONG out = 0xDEADBEEF;
    EXPECT_EQ(c.expected, talven::WaitCommandComplete(adapter_, c.awaited, 2000, &out))
        << c.awaited;
    EXPECT_EQ(c.output_written, out != 0xDEADBEEF) << c.awaited;
    EXPECT_EQ(2u, status_polls().size()) << "one busy poll, then the completion";
  }
}

TEST_F(WaitTest, ReadCompletionHandsOverTheResultWord) {
  open();
  sim_->set_eeprom(std::vector<uint8_t>(256, 0x5A));
  talven::OidRecord read(wire::OID_EEPROM_READ, 12);
  read.set_param(0, 7);
  read.set_param(1, 1);
  read.set_param(2, wire::kReadPlaceholder);
  ASSERT_EQ(1u, talven::OidRequest(adapter_, true, read));
  ULONG out = 0;
  EXPECT_EQ(TRUE, talven::WaitCommandComplete(adapter_, 13, 2000, &out));
  EXPECT_EQ(0x5Au, out);

  ASSERT_EQ(1u, talven::OidRequest(adapter_, true, read));
  EXPECT_EQ(TRUE, talven::WaitCommandComplete(adapter_, 13, 2000, nullptr));
}

TEST_F(WaitTest, PollLimitBoundsQueriesAndPauses) {
  struct Case {
    int32_t limit;
    size_t queries;
  } cases[] = {{2000, 2001}, {100, 101}, {0, 1}, {3, 4}};
  open();
  sim_->set_never_finish(true);
  for (const Case& c : cases) {
    start_channel_command(adapter_);
    sim_->clear_requests();
    win32sim::clear_sleep_log();
    ULONG out = 77;
    EXPECT_EQ(FALSE, talven::WaitCommandComplete(adapter_, 24, c.limit, &out));
    EXPECT_EQ(c.queries, status_polls().size()) << c.limit;
    EXPECT_EQ(c.queries - 1, pauses());
    EXPECT_EQ(c.queries - 1, win32sim::sleep_log().size()) << "every pause is Sleep(1)";
    EXPECT_EQ(77u, out);
  }
}

TEST_F(WaitTest, EveryPollSendsAFreshlyZeroedStatusRecordFromOneBlock) {
  open();
  sim_->set_completion_polls(3);
  start_channel_command(adapter_);
  sim_->clear_requests();
  win32sim::clear_heap_alloc_log();
  EXPECT_EQ(TRUE, talven::WaitCommandComplete(adapter_, 24, 2000, nullptr));
  const auto polls = status_polls();
  ASSERT_EQ(4u, polls.size());
  for (const Request& r : polls) {
    EXPECT_TRUE(r.is_query());
    EXPECT_EQ(16u, r.length());
    EXPECT_EQ(319u, r.in_size);
    EXPECT_EQ(319u, r.out_size);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(0u, r.param(i)) << "Param[" << i << "]";
  }
  const auto allocs = win32sim::heap_alloc_log();
  ASSERT_EQ(1u, allocs.size()) << "one status block for the whole wait";
  EXPECT_EQ(320u, allocs[0].size);
}

TEST_F(WaitTest, FailedStatusQueryCountsAsUnfinishedEvenWithAnAnswer) {
  open();
  start_channel_command(adapter_);
  sim_->clear_requests();
  simadapter::Fault fault{wire::OID_COMMAND_STATUS, simadapter::Fault::FailAndAnswer};
  fault.remaining = 3;
  sim_->set_completion_polls(0);
  sim_->add_fault(fault);
  EXPECT_EQ(TRUE, talven::WaitCommandComplete(adapter_, 24, 2000, nullptr));
  EXPECT_EQ(4u, status_polls().size());
  EXPECT_EQ(3u, pauses());
}

TEST_F(WaitTest, NegativeLimitPollsUntilTheCommandFinishes) {
  open();
  sim_->set_completion_polls(5000);
  start_channel_command(adapter_);
  sim_->clear_requests();
  EXPECT_EQ(TRUE, talven::WaitCommandComplete(adapter_, 24, -1, nullptr));
  EXPECT_EQ(5001u, status_polls().size());
}

TEST_F(WaitTest, NoMemoryMeansNoPollAndNoOutput) {
  open();
  start_channel_command(adapter_);
  sim_->clear_requests();
  win32sim::fail_nth_global_alloc(1);
  ULONG out = 9;
  EXPECT_EQ(FALSE, talven::WaitCommandComplete(adapter_, 13, 2000, &out));
  EXPECT_TRUE(status_polls().empty());
  EXPECT_EQ(9u, out);
}

TEST_F(WaitTest, CommandEndOnlyWaitsAfterARequestResultOfExactlyOne) {
  open();
  start_channel_command(adapter_);
  sim_->clear_requests();
  EXPECT_EQ(0u, talven::CompleteCommand(adapter_, 0, 24));
  EXPECT_EQ(2u, talven::CompleteCommand(adapter_, 2, 24));
  EXPECT_TRUE(status_polls().empty());
  EXPECT_EQ(1u, talven::CompleteCommand(adapter_, 1, 24));
  EXPECT_FALSE(status_polls().empty());
}

}  // namespace
}  // namespace talven_test
