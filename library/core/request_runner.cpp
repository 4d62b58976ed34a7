#include "library/core/request_runner.h"

namespace talven::family {

Sent run(const Adapter* adapter, const Op& op, std::initializer_list<uint32_t> words,
         ULONG* output) {
  // A refused argument allocates nothing either; callers tell the two apart by the debug line.
  if (refuse_null(op.name, {{adapter, TEXT("Adapter")}})) return {0, false};
  if (op.needs_output() && refuse_null(op.name, {{output, TEXT("output")}})) return {0, false};
  ULONG result = 0;
  {
    OidRecord record(op.oid, op.length);
    if (!record) return {0, false};
    size_t i = 0;
    for (uint32_t word : words) record.set_param(i++, word);

    result = OidRequest(adapter, op.direction == kSet, record);
    const bool hand_on =
        op.output == Output::Always || (op.output == Output::OnSuccess && result == 1);
    if (hand_on) *output = record.param(0);
  }  // the request record is released before the wait, which uses one of its own

  if (!op.waits()) return {result, true};
  ULONG* wait_output = op.output == Output::FromWait ? output : nullptr;
  return {CompleteCommand(adapter, result, op.wait.command_id, op.wait.poll_limit, wait_output),
          true};
}

}  // namespace talven::family
