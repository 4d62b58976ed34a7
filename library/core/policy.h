// The library's own choices on top of the driver contract: how long it polls for a command's
// completion, which completions it checks, how big its status block is and how long it waits
// for an adapter reset. Drivers neither see nor rely on these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talven::policy {

// Poll limits of the completion wait (pauses of 1 ms between status queries).
constexpr int32_t kDefaultPollLimit = 2000;
constexpr int32_t kStartTestPollLimit = 100;

// The status record is sent from a zero-filled block of this size.
constexpr size_t kStatusBlockSize = 320;

// Completions of these ids are checked against the awaited id and carry a result word.
constexpr bool command_id_is_checked(int32_t id) {
  return id >= 1 && id <= 16;
}

// How long PacketResetAdapter waits for the reset to complete, looking at the reset's own
// OVERLAPPED at least this often.
constexpr uint32_t kResetTimeoutMs = 3000;
constexpr uint32_t kResetSliceMs = 10;

// How long a cancelled request (a reset that timed out, an OID request whose wait failed) is
// waited for before its memory is left to the driver.
constexpr uint32_t kCancelWaitMs = 1000;

// How long a stop of the continuous transmission, or CloseDUT, waits for the workers (polling
// every 10 ms; a worker cancels a write still pending when it sees the stop) before it gives up
// on those that do not end.
constexpr uint32_t kStopPollMs = 10;
constexpr uint32_t kStopWaitMs = 2000;

}  // namespace talven::policy
