// Completion wait of asynchronous commands. The driver accepts a command at once and reports
// its end through OID_COMMAND_STATUS: Param[0] nonzero once finished, Param[1] the CommandId
// that finished, Param[3] its result word (register contents, EEPROM byte or word).
#include "library/core/record.h"

namespace talven {

BOOLEAN WaitCommandComplete(const Adapter* adapter, int32_t command_id, int32_t poll_limit,
                            ULONG* result) {
  OidRecord status(wire::OID_COMMAND_STATUS, wire::kStatusLength, policy::kStatusBlockSize);
  if (!status) return FALSE;

  for (int32_t polls = 0;; ++polls) {
    // Words the driver leaves alone must read as zero, never as the previous poll's answer.
    for (size_t i = 0; i < 4; ++i) status.set_param(i, 0);
    // The answer comes back into the record, Oid and Length included: a driver that rewrote
    // them must not choose the next poll's OID or its transfer size, which would read and
    // write past the status block.
    wire::put_u32(status.bytes() + wire::kOidOffset, wire::OID_COMMAND_STATUS);
    wire::put_u32(status.bytes() + wire::kLengthOffset, wire::kStatusLength);
    const ULONG sent = OidRequest(adapter, false, status);
    if (!status) return FALSE;  // left to a driver that never ended the poll
    if ((sent & 0xFF) != 0 && status.param(wire::kStatusFinishedParam) != 0) break;
    if (poll_limit >= 0 && polls >= poll_limit) return FALSE;
    Sleep(1);
  }

  if (!policy::command_id_is_checked(command_id)) return TRUE;
  if (status.param(wire::kStatusCommandParam) != static_cast<uint32_t>(command_id)) return FALSE;
  if (result != nullptr) *result = status.param(wire::kStatusResultParam);
  return TRUE;
}

}  // namespace talven
