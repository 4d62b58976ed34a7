// The OVERLAPPED and the event that an OID request waits on while the driver has it. The device
// handle is open for overlapped I/O, so every request carries both; creating and closing an
// event for each request would cost two kernel calls beside the request's own. Requests take a
// slot instead: a lock-free pool of slots, each holding an event that stays open from its first
// use to process detach. A slot serves one request at a time. Its event needs no reset of its
// own before reuse: DeviceIoControl sets the event to non-signalled before it starts the
// request, so that only this request's completion can signal it.
#pragma once

#include "library/core/platform.h"

namespace talven {

// Takes a free slot for one request: its OVERLAPPED zeroed, the slot's event in hEvent. Null
// when no event could be created for it (the request is then not sent).
OVERLAPPED* take_request_slot();
// The request completed, or was never started: the slot may serve the next request.
void give_back_request_slot(OVERLAPPED* overlapped);
// The request is still in the driver and could not be waited for: its slot is never reused or
// closed, and the library's image, which holds the slot, stays loaded for the rest of the
// process, so that the late completion writes into live memory.
void abandon_request_slot(OVERLAPPED* overlapped);
// Process detach: closes the events of every slot not serving a request (abandoned slots once
// their request has ended).
void close_request_slots();

}  // namespace talven
