// One-request operations as data. Most exported operations are a single OidData request,
// optionally followed by a completion wait: a row names the operation, its Oid, Length,
// direction, the CommandId and poll limit it waits for, and where the caller's output comes
// from. run() carries out any row; the few operations with steps of their own wrap it.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "library/core/record.h"

namespace talven::family {

enum Direction : bool { kQuery = false, kSet = true };

// Where a caller's 32-bit output variable gets its value.
enum class Output {
  None,       // nothing is handed back
  Always,     // Param[0] of the answered record, whatever the request returned
  OnSuccess,  // Param[0] of the answered record, only when the request returned 1
  FromWait,   // the result word of the completion (register reads)
};

// The completion an asynchronous command waits for; command_id < 0 means no wait.
struct Wait {
  int32_t command_id;
  int32_t poll_limit;
};
constexpr Wait kNoWait{-1, 0};
constexpr Wait wait_for(int32_t command_id, int32_t poll_limit = policy::kDefaultPollLimit) {
  return {command_id, poll_limit};
}

struct Op {
  const WCHAR* name;  // the exported operation, for its debug strings
  uint32_t oid;
  uint32_t length;
  Direction direction;
  Wait wait;
  Output output;

  constexpr bool waits() const { return wait.command_id >= 0; }
  // Queries that hand Param[0] on need somewhere to put it; a read's output may be null.
  constexpr bool needs_output() const {
    return output == Output::Always || output == Output::OnSuccess;
  }
};

// What running a row came to: the operation's result and whether its record was allocated.
struct Sent {
  ULONG result;
  bool allocated;  // false: no memory for the record, nothing was sent, the output is untouched
};

// Runs one row: allocate the zero-filled record, put `words` into Param[0], Param[1], ...,
// send it, hand the output on as the row says, release the record and, after a request that
// returned exactly 1, wait for the row's command. A null adapter, or a null output where the
// row needs one, is refused with one debug string and result 0, before anything is allocated
// or sent. The result is 0 when the record could not be allocated, otherwise the request's
// result, or the wait's result when the row waits.
Sent run(const Adapter* adapter, const Op& op, std::initializer_list<uint32_t> words,
         ULONG* output = nullptr);

// run() for the operations whose result is all they report.
inline ULONG send(const Adapter* adapter, const Op& op, std::initializer_list<uint32_t> words,
                  ULONG* output = nullptr) {
  return run(adapter, op, words, output).result;
}

}  // namespace talven::family
