// The checks of the Windows conformance program, grouped by what they exercise.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "include/talven.h"
#include "tests/windows/support.h"

namespace wintest {

// One request as the adapter device should receive it: the control code, the transfer size
// (input and output alike) and the bytes that are not zero, everything else zero.
struct Expect {
  uint32_t code = 0;
  uint32_t size = 0;
  std::vector<std::pair<uint32_t, uint32_t>> words;              // record offset -> 32-bit value
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> bytes;  // record offset -> bytes
};
Expect set_request(uint32_t oid, uint32_t length, std::initializer_list<uint32_t> params = {});
Expect query_request(uint32_t oid, uint32_t length, std::initializer_list<uint32_t> params = {});
Expect status_query();
Expect eeprom_read(uint32_t offset, uint32_t width);
Expect eeprom_write(uint32_t offset, uint32_t width, uint32_t value);
Expect reset_request();
// An async command: the request, then `polls` status queries.
std::vector<Expect> command(const Expect& request, int polls = 1);
std::vector<Expect> concat(std::initializer_list<std::vector<Expect>> parts);

// Compares what the adapter logged (OID and reset requests only) with `want`; "" when equal.
std::string compare_requests(Control& control, const std::vector<Expect>& want);
std::string compare_strings(const std::vector<std::wstring>& got,
                            const std::vector<std::wstring>& want);

struct Env {
  Control control;
  Adapter* adapter = nullptr;
};

// Runs `body` between two looks at the process's handle count, the library's heap balance and
// its freed records: a case that leaks a handle or a record, or whose request writes into a
// freed record, fails.
void run_case(Env& env, const std::string& name, const std::function<void()>& body);

void run_open_checks(Env& env);
void run_service_start_check(Env& env);
void run_service_checks(Env& env);
void run_operation_checks(Env& env);
void run_io_checks(Env& env);
void run_unload_check(Env& env);
int run_timing(Env& env);
// The virtual adapter's control device: security, malformed requests, the unload after them.
int run_control_checks();

// The fixed 1400-byte test frame, written out from its table.
std::vector<uint8_t> test_frame();

}  // namespace wintest
