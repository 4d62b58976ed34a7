// The checks of the Windows conformance program, grouped by what they exercise.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "include/talven.h"
#include "tests/windows/support.h"

namespace wintest {

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
// The talvenctl run's helpers (station.cpp): adapter-reset, adapter-eeprom FILE, ...
int run_station_helper(const std::wstring& mode, const wchar_t* argument);
// The virtual adapter's control device: security, malformed requests, the unload after them.
int run_control_checks();

// The fixed 1400-byte test frame, written out from its table.
std::vector<uint8_t> test_frame();

}  // namespace wintest
