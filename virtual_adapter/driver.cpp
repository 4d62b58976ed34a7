// The virtual adapter: a WDM driver that plays the adapter behind the packet driver's device.
// It is installed under the packet driver's service name, creates the adapter device (without a
// DOS name, so that callers define one themselves) and publishes it in the service's Linkage
// key, answers the buffered OID requests, frame writes and the adapter reset through the device
// model, and offers a control device through which a harness scripts how requests complete and
// reads what the adapter received.
//
// Requests complete at once, or are pended: held until the harness releases them, completed by
// a timer after a delay, or never (until cancelled). Every pended IRP carries a cancel routine.
// One spin lock guards the model and the bookkeeping; no IRP is completed while it is held.
#include <cstring>
#include <new>

#include "driver_contract/driver_contract.h"
#include "virtual_adapter/control_protocol.h"
#include "virtual_adapter/kernel.h"
#include "virtual_adapter/model_host.h"

namespace vadapter {
namespace {

namespace cp = talven::vadapter;
namespace wire = talven::wire;

constexpr uint32_t kPendingSlots = 256;
constexpr LONGLONG kOneMillisecond = -10000;  // relative, in 100 ns units

enum class DeviceKind : uint32_t { Adapter = 0x56414441, Control = 0x5641434C };
enum class IrpKind : uint8_t { Oid, Write, Reset };
enum class Reason : uint8_t { Held, Later, Never };

struct Driver;

struct DeviceExtension {
  DeviceKind kind;
  Driver* driver;
};

// How a request completes, as the model's script says (CTL_SET_COMPLETION).
using simadapter::Completion;

// A pended IRP and its timers. A slot goes back to the free list only once its IRP has been
// completed and neither of its timers can still fire.
struct Pending {
  LIST_ENTRY link;
  Driver* driver;
  PIRP irp;  // null once completed (or handed over for completion)
  PFILE_OBJECT file;
  IrpKind kind;
  Reason reason;
  bool cancel_armed;        // our cancel routine is set on the IRP
  bool forced;              // completion requested while the cancel routine was on its way
  bool timer_armed;         // the Later completion timer may still fire
  bool cancel_timer_armed;  // the delayed cancel completion may still fire
  NTSTATUS status;          // what it completes with when its time comes
  ULONG_PTR answer;         // bytes handed back unless it completes with an error
  NTSTATUS forced_status;
  NTSTATUS cancel_status;
  uint32_t write_size;
  uint64_t write_offset;
  KTIMER timer;
  KDPC dpc;
  KTIMER cancel_timer;
  KDPC cancel_dpc;
};

// IRPs taken out of the bookkeeping under the lock, completed after it is released. Kept on the
// stack: one IRP for a single completion, a batch for the paths that end many.
template <uint32_t Capacity>
struct CompletionList {
  PIRP irps[Capacity];
  uint32_t count = 0;
  bool full() const { return count == Capacity; }
  void add(PIRP irp) {
    if (count < Capacity) irps[count++] = irp;
  }
  void complete_all() {
    for (uint32_t i = 0; i < count; ++i) IoCompleteRequest(irps[i], IO_NO_INCREMENT);
    count = 0;
  }
};
using OneCompletion = CompletionList<1>;
using Batch = CompletionList<16>;

struct Driver {
  SpinLock lock;
  ModelHost* model = nullptr;
  PDEVICE_OBJECT adapter = nullptr;
  PDEVICE_OBJECT control = nullptr;
  bool control_link = false;
  Pending* slots = nullptr;
  LIST_ENTRY free_slots;
  LIST_ENTRY busy_slots;  // oldest first
  uint32_t pending = 0;
  uint32_t opens = 0, closes = 0, cancels = 0;
  bool draining = false;         // unloading: every cancel completes at once
  WCHAR* service_key = nullptr;  // a copy of DriverEntry's RegistryPath
  size_t service_chars = 0;
};

const cp::ResetConfig kPowerOnConfig = {wire::kEepromType256, 0, 1, 3};

// The error a scripted completion names, or `otherwise` when it names none.
NTSTATUS error_or(const Completion& c, NTSTATUS otherwise) {
  return c.error != 0 ? NTSTATUS(c.error) : otherwise;
}

DeviceExtension* extension(PDEVICE_OBJECT device) {
  return static_cast<DeviceExtension*>(device->DeviceExtension);
}

Pending* slot_of(LIST_ENTRY* entry) {
  return CONTAINING_RECORD(entry, Pending, link);
}

LARGE_INTEGER relative_us(uint32_t delay_us) {
  LARGE_INTEGER due;
  due.QuadPart = -LONGLONG(delay_us) * 10;
  if (due.QuadPart == 0) due.QuadPart = -1;
  return due;
}

NTSTATUS complete_now(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------------------------
// Pended IRPs. Every function here but the cancel routine and the timers runs with the lock held.

void release_if_idle(Driver* d, Pending* p) {
  if (p->irp != nullptr || p->timer_armed || p->cancel_timer_armed) return;
  RemoveEntryList(&p->link);
  InsertTailList(&d->free_slots, &p->link);
}

// Hands the IRP over for completion with `status`, unless its cancel routine is already on its
// way (then the cancel routine completes it with `status`). A frame write that succeeds goes
// into the model's frame log now, while its buffer is still ours.
template <typename List>
bool finish(Driver* d, Pending* p, NTSTATUS status, List* done) {
  PIRP irp = p->irp;
  if (irp == nullptr) return false;
  if (p->cancel_armed) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      p->forced = true;
      p->forced_status = status;
      return true;
    }
    p->cancel_armed = false;
  }
  if (p->kind == IrpKind::Write && status == STATUS_SUCCESS) {
    const auto* data = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    d->model->frame_sent(data, data != nullptr ? p->write_size : 0, p->write_offset);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : p->answer;
  p->irp = nullptr;
  --d->pending;
  done->add(irp);
  release_if_idle(d, p);
  return true;
}

void NTAPI timer_fired(PKDPC, PVOID context, PVOID, PVOID) {
  auto* p = static_cast<Pending*>(context);
  Driver* d = p->driver;
  OneCompletion done;
  {
    LockGuard guard(d->lock);
    if (p->timer_armed) {
      p->timer_armed = false;
      finish(d, p, p->status, &done);
      release_if_idle(d, p);
    }
  }
  done.complete_all();
}

void NTAPI cancel_timer_fired(PKDPC, PVOID context, PVOID, PVOID) {
  auto* p = static_cast<Pending*>(context);
  Driver* d = p->driver;
  OneCompletion done;
  {
    LockGuard guard(d->lock);
    if (p->cancel_timer_armed) {
      p->cancel_timer_armed = false;
      finish(d, p, p->cancel_status, &done);
      release_if_idle(d, p);
    }
  }
  done.complete_all();
}

// Runs at most once an IRP. How the cancel ends is scripted (kCancels): at once, after a delay,
// or not at all (the IRP then completes when its own time comes, or at reset or unload).
void NTAPI cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Driver* d = extension(device)->driver;
  auto* p = static_cast<Pending*>(irp->Tail.Overlay.DriverContext[0]);
  OneCompletion done;
  bool arm = false;
  uint32_t delay_us = 0;
  {
    LockGuard guard(d->lock);
    p->cancel_armed = false;
    ++d->cancels;
    const Completion script = d->model->cancel_completion();
    const NTSTATUS cancelled = error_or(script, STATUS_CANCELLED);
    if (p->forced) {
      finish(d, p, p->forced_status, &done);
    } else if (d->draining) {
      finish(d, p, STATUS_CANCELLED, &done);
    } else if (script.kind == Completion::Later) {
      if (!p->cancel_timer_armed) {
        p->cancel_timer_armed = true;
        p->cancel_status = cancelled;
        arm = true;
        delay_us = script.delay_us;
      }
    } else if (script.kind != Completion::Never && script.kind != Completion::Held) {
      finish(d, p, cancelled, &done);
    }
  }
  if (arm) KeSetTimer(&p->cancel_timer, relative_us(delay_us), &p->cancel_dpc);
  done.complete_all();
}

// Pends `irp`; returns STATUS_PENDING in every case (it may have been completed meanwhile).
NTSTATUS pend(Driver* d, PIRP irp, IrpKind kind, const Completion& script, NTSTATUS status,
              ULONG_PTR answer) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  IoMarkIrpPending(irp);
  OneCompletion done;
  Pending* p = nullptr;
  bool arm = false;
  {
    LockGuard guard(d->lock);
    if (IsListEmpty(&d->free_slots)) {
      irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
      irp->IoStatus.Information = 0;
      done.add(irp);
    } else {
      p = slot_of(RemoveHeadList(&d->free_slots));
      InsertTailList(&d->busy_slots, &p->link);
      p->irp = irp;
      p->file = stack->FileObject;
      p->kind = kind;
      p->reason = script.kind == Completion::Held    ? Reason::Held
                  : script.kind == Completion::Later ? Reason::Later
                                                     : Reason::Never;
      p->forced = false;
      p->status = status;
      p->answer = answer;
      if (kind == IrpKind::Write) {
        p->write_size = stack->Parameters.Write.Length;
        p->write_offset = uint64_t(stack->Parameters.Write.ByteOffset.QuadPart);
      }
      irp->Tail.Overlay.DriverContext[0] = p;
      ++d->pending;
      p->cancel_armed = true;
      IoSetCancelRoutine(irp, cancel_routine);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was set: it will not run, the IRP is ours to end.
        p->cancel_armed = false;
        finish(d, p, STATUS_CANCELLED, &done);
      } else if (p->reason == Reason::Later) {
        p->timer_armed = true;
        arm = true;
      }
    }
  }
  if (arm) KeSetTimer(&p->timer, relative_us(script.delay_us), &p->dpc);
  done.complete_all();
  return STATUS_PENDING;
}

// Runs `step` under the lock with an empty batch, completes what it collected after releasing
// the lock, and repeats while `step` reports that it stopped on a full batch.
template <typename Step>
void in_batches(Driver* d, Step step) {
  bool more = true;
  while (more) {
    Batch batch;
    {
      LockGuard guard(d->lock);
      more = step(&batch);
    }
    batch.complete_all();
  }
}

// One batch of ending every pended IRP (of one file object, or all): held ones with their own
// status when `held_keep_status`, all others cancelled. IRPs whose cancel routine is on its way
// are left to it. True when it stopped on a full batch.
bool drain(Driver* d, PFILE_OBJECT file, bool held_keep_status, Batch* batch) {
  for (LIST_ENTRY* e = d->busy_slots.Flink; e != &d->busy_slots;) {
    Pending* p = slot_of(e);
    e = e->Flink;  // finish may move p to the free list
    if (p->irp == nullptr || p->forced || (file != nullptr && p->file != file)) continue;
    if (batch->full()) return true;
    const bool keep = held_keep_status && p->reason == Reason::Held;
    finish(d, p, keep ? p->status : STATUS_CANCELLED, batch);
  }
  return false;
}

void drain_all(Driver* d, PFILE_OBJECT file, bool held_keep_status) {
  in_batches(d, [&](Batch* batch) { return drain(d, file, held_keep_status, batch); });
}

// ---------------------------------------------------------------------------------------------
// The adapter device

// Completes at once or pends, as the scripted completion says. `status` and `answer` are what
// the request ends with when its time comes (a refusal ends it with the script's error).
NTSTATUS complete_as(Driver* d, PIRP irp, IrpKind kind, const Completion& script, NTSTATUS status,
                     ULONG_PTR answer) {
  switch (script.kind) {
    case Completion::Now:
      return complete_now(irp, status, NT_ERROR(status) ? 0 : answer);
    case Completion::Refused:
      return complete_now(irp, error_or(script, STATUS_UNSUCCESSFUL), 0);
    default:
      return pend(d, irp, kind, script, status, answer);
  }
}

NTSTATUS adapter_device_control(Driver* d, PIRP irp, PIO_STACK_LOCATION stack) {
  const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == wire::IOCTL_ADAPTER_RESET) {
    Completion script;
    {
      LockGuard guard(d->lock);
      script = d->model->adapter_reset();
    }
    return complete_as(d, irp, IrpKind::Reset, script, error_or(script, STATUS_SUCCESS), 0);
  }

  auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  const uint32_t in_size =
      buffer != nullptr ? stack->Parameters.DeviceIoControl.InputBufferLength : 0;
  const uint32_t out_size =
      buffer != nullptr ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;
  OidResult result;
  {
    LockGuard guard(d->lock);
    result = d->model->oid_request(code, buffer, in_size, out_size);
  }
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR answer = result.out_bytes;
  if (code != wire::IOCTL_OID_SET && code != wire::IOCTL_OID_QUERY) {
    status = STATUS_INVALID_DEVICE_REQUEST;
    answer = 0;
  } else if (result.outcome == OidOutcome::Fail) {
    status = STATUS_UNSUCCESSFUL;
    answer = 0;
  } else if (result.outcome == OidOutcome::FailAnswered) {
    // A warning status: the caller's call fails, and the answer is copied back all the same.
    status = STATUS_BUFFER_OVERFLOW;
  }
  return complete_as(d, irp, IrpKind::Oid, result.completion, status, answer);
}

NTSTATUS adapter_write(Driver* d, PIRP irp, PIO_STACK_LOCATION stack) {
  const uint32_t size = stack->Parameters.Write.Length;
  const auto* data = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  Completion script;
  {
    LockGuard guard(d->lock);
    script = d->model->write_issued();
    // At once and successful: on the air now. A pended write goes on the air when it completes.
    if (script.kind == Completion::Now && script.error == 0)
      d->model->frame_sent(data, data != nullptr ? size : 0,
                           uint64_t(stack->Parameters.Write.ByteOffset.QuadPart));
  }
  return complete_as(d, irp, IrpKind::Write, script, error_or(script, STATUS_SUCCESS), size);
}

// Both devices are opened by their own name only: a name below the device ("\\.\<device>\x")
// names nothing, and is refused before the device counts or serves the open.
bool opens_a_name_below(PIO_STACK_LOCATION stack) {
  return stack->FileObject != nullptr && stack->FileObject->FileName.Length != 0;
}

NTSTATUS adapter_dispatch(Driver* d, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      if (opens_a_name_below(stack)) return complete_now(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
      LockGuard guard(d->lock);
      ++d->opens;
      break;
    }
    case IRP_MJ_CLOSE: {
      LockGuard guard(d->lock);
      ++d->closes;
      break;
    }
    case IRP_MJ_CLEANUP: {
      // The last handle of this file object is closing: end its pended requests.
      drain_all(d, stack->FileObject, false);
      break;
    }
    case IRP_MJ_DEVICE_CONTROL:
      return adapter_device_control(d, irp, stack);
    case IRP_MJ_WRITE:
      return adapter_write(d, irp, stack);
    default:
      return complete_now(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return complete_now(irp, STATUS_SUCCESS, 0);
}

// ---------------------------------------------------------------------------------------------
// The control device's security

// The control device's security: SYSTEM and the Administrators group get all access, nobody
// else any (a DACL of these two grants only). The SIDs are written out, S-1-5-18 and
// S-1-5-32-544, so that nothing but the documented Rtl, Ob and Zw calls is needed.
struct Sid2 {
  UCHAR revision, sub_authority_count;
  UCHAR authority[6];
  ULONG sub_authority[2];
};
Sid2 g_local_system = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
Sid2 g_administrators = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};
// An ACCESS_ALLOWED_ACE without its SID: the ACE header and the access mask.
constexpr ULONG kAceHead = 8;
// Room for a SECURITY_DESCRIPTOR in absolute form: revision, padding, control, then the owner,
// group, SACL and DACL pointers.
struct AbsoluteDescriptor {
  UCHAR revision, sbz1;
  USHORT control;
  PVOID owner, group, sacl, dacl;
};

NTSTATUS restrict_to_administrators(PDEVICE_OBJECT device) {
  const ULONG acl_size =
      sizeof(ACL) + 2 * kAceHead + RtlLengthSid(&g_local_system) + RtlLengthSid(&g_administrators);
  auto* acl = reinterpret_cast<PACL>(new (std::nothrow) ULONG[(acl_size + 3) / 4]);
  if (acl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  AbsoluteDescriptor sd;
  NTSTATUS status = RtlCreateAcl(acl, acl_size, ACL_REVISION);
  if (NT_SUCCESS(status))
    status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, &g_local_system);
  if (NT_SUCCESS(status))
    status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, &g_administrators);
  if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE);
  HANDLE handle = nullptr;
  if (NT_SUCCESS(status))
    status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                   KernelMode, &handle);
  if (NT_SUCCESS(status)) {
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd);
    ZwClose(handle);
  }
  delete[] reinterpret_cast<ULONG*>(acl);
  return status;
}

// Reads the control device's DACL back from the object manager (a self-relative descriptor) and
// sums it up for CTL_GET_STATE: how many entries, and which of the expected grants it holds.
void describe_control_security(PDEVICE_OBJECT device, uint32_t* aces, uint32_t* grants) {
  *aces = 0;
  *grants = cp::kGrantsOthers;
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, READ_CONTROL, nullptr,
                                        KernelMode, &handle)))
    return;
  ULONG words[128] = {};  // 512 bytes: the descriptor of two ACEs takes about 80
  ULONG needed = 0;
  const NTSTATUS status =
      ZwQuerySecurityObject(handle, DACL_SECURITY_INFORMATION, words, sizeof words, &needed);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) return;
  const auto* sd = reinterpret_cast<const uint8_t*>(words);
  const ULONG size = needed < sizeof words ? needed : sizeof words;
  auto u16 = [sd](ULONG at) { return ULONG(sd[at]) | ULONG(sd[at + 1]) << 8; };
  auto u32 = [&u16](ULONG at) { return u16(at) | u16(at + 2) << 16; };
  // Self-relative: revision, padding, control, then the offsets of owner, group, SACL, DACL.
  const ULONG dacl = u32(16);
  if ((u16(2) & 0x4) == 0 || dacl == 0 || dacl + 8 > size) return;  // SE_DACL_PRESENT
  const ULONG count = u16(dacl + 4);
  uint32_t found = 0;
  ULONG at = dacl + 8;
  for (ULONG i = 0; i < count; ++i) {
    if (at + 8 > size) return;
    const ULONG ace_size = u16(at + 2);
    if (ace_size < 8 || at + ace_size > size) return;
    const bool allowed = sd[at] == 0;  // ACCESS_ALLOWED_ACE_TYPE
    const bool all = u32(at + 4) == FILE_ALL_ACCESS;
    const ULONG sid_size = ace_size - 8;
    auto is = [&](const Sid2& sid) {
      const ULONG length = 8 + 4 * ULONG(sid.sub_authority_count);
      return sid_size >= length && memcmp(sd + at + 8, &sid, length) == 0;
    };
    if (allowed && all && is(g_local_system))
      found |= cp::kGrantsSystem;
    else if (allowed && all && is(g_administrators))
      found |= cp::kGrantsAdministrators;
    else
      found |= cp::kGrantsOthers;
    at += ace_size;
  }
  *aces = count;
  *grants = found;
}

// ---------------------------------------------------------------------------------------------
// The control device: every request completes at once. Input records must have their exact size,
// output buffers at least the record's size; nothing is read or written past either.

template <typename Record>
const Record* input_record(PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(Record)) return nullptr;
  return static_cast<const Record*>(irp->AssociatedIrp.SystemBuffer);
}

bool valid_completion(const cp::CompletionRecord& r) {
  return r.target <= cp::kCancels && r.kind <= cp::kHeld && r.count >= -1 &&
         r.delay_us <= cp::kMaxDelayUs && cp::valid_completion_status(r.error);
}

bool valid_fault(const cp::FaultRecord& r) {
  return r.mode <= cp::kResultWord && r.match_address <= 1 && r.remaining >= -1 &&
         simadapter::DeviceModel::knows_oid(r.oid);
}

bool valid_reset(const cp::ResetConfig& r) {
  return (r.eeprom_type == wire::kEepromType128 || r.eeprom_type == wire::kEepromType256) &&
         r.completion_polls <= cp::kMaxCompletionPolls;
}

NTSTATUS control_device_control(Driver* d, PIRP irp, PIO_STACK_LOCATION stack) {
  const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
  const uint32_t in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const uint32_t out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;

  // Sizes first: the input record (0 = none) and the least output.
  uint32_t need_in = 0, need_out = 0;
  switch (code) {
    case cp::CTL_RESET:
      need_in = sizeof(cp::ResetConfig);
      break;
    case cp::CTL_ADD_FAULT:
      need_in = sizeof(cp::FaultRecord);
      break;
    case cp::CTL_CLEAR_FAULTS:
      break;
    case cp::CTL_SET_COMPLETION:
      need_in = sizeof(cp::CompletionRecord);
      break;
    case cp::CTL_RELEASE_HELD:
      need_in = sizeof(cp::ReleaseRecord);
      need_out = sizeof(uint32_t);
      break;
    case cp::CTL_GET_STATE:
      need_out = sizeof(cp::StateRecord);
      break;
    case cp::CTL_READ_REQUESTS:
      need_in = sizeof(uint32_t);
      need_out = sizeof(cp::RequestPage);
      break;
    case cp::CTL_CLEAR_REQUESTS:
      break;
    case cp::CTL_READ_FRAMES:
      need_out = sizeof(cp::FramePage);
      break;
    case cp::CTL_READ_EEPROM:
      need_out = sizeof(cp::EepromRecord);
      break;
    case cp::CTL_WRITE_EEPROM:
      need_in = sizeof(cp::EepromRecord);
      break;
    case cp::CTL_SET_QUERY_WORD:
      need_in = sizeof(cp::WordRecord);
      break;
    case cp::CTL_QUEUE_RX_FRAME:
      need_in = sizeof(cp::FrameRecord);
      break;
    case cp::CTL_SET_REGISTER:
      need_in = sizeof(cp::RegisterRecord);
      break;
    case cp::CTL_GET_REGISTER:
      need_in = sizeof(cp::RegisterRecord);
      need_out = sizeof(cp::RegisterRecord);
      break;
    case cp::CTL_SET_ADDRESSES:
      need_in = sizeof(cp::AddressRecord);
      break;
    default:
      return complete_now(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (in_size != need_in) return complete_now(irp, STATUS_INVALID_PARAMETER, 0);
  if (out_size < need_out) return complete_now(irp, STATUS_BUFFER_TOO_SMALL, 0);
  if ((need_in != 0 || need_out != 0) && buffer == nullptr)
    return complete_now(irp, STATUS_INVALID_PARAMETER, 0);

  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  switch (code) {
    case cp::CTL_RESET: {
      const cp::ResetConfig config = *static_cast<const cp::ResetConfig*>(buffer);
      if (!valid_reset(config)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      // Held requests end with their own status, all other pended ones are cancelled.
      drain_all(d, nullptr, true);
      LockGuard guard(d->lock);
      d->model->reset(config);
      d->opens = d->closes = d->cancels = 0;
      break;
    }
    case cp::CTL_ADD_FAULT: {
      const cp::FaultRecord fault = *static_cast<const cp::FaultRecord*>(buffer);
      if (!valid_fault(fault)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      LockGuard guard(d->lock);
      if (!d->model->add_fault(fault)) status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    case cp::CTL_CLEAR_FAULTS: {
      LockGuard guard(d->lock);
      d->model->clear_faults();
      break;
    }
    case cp::CTL_SET_COMPLETION: {
      const cp::CompletionRecord r = *static_cast<const cp::CompletionRecord*>(buffer);
      if (!valid_completion(r)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      LockGuard guard(d->lock);
      if (!d->model->set_completion(r)) status = STATUS_INVALID_PARAMETER;
      break;
    }
    case cp::CTL_RELEASE_HELD: {
      const cp::ReleaseRecord r = *static_cast<const cp::ReleaseRecord*>(buffer);
      if (!cp::valid_completion_status(r.error)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      uint32_t released = 0;
      in_batches(d, [&](Batch* batch) {
        for (LIST_ENTRY* e = d->busy_slots.Flink; e != &d->busy_slots && released < r.count;) {
          Pending* p = slot_of(e);
          e = e->Flink;  // finish may move p to the free list
          if (p->irp == nullptr || p->reason != Reason::Held || p->forced) continue;
          if (batch->full()) return true;
          finish(d, p, r.error != 0 ? NTSTATUS(r.error) : p->status, batch);
          ++released;
        }
        return false;
      });
      *static_cast<uint32_t*>(buffer) = released;
      information = sizeof(uint32_t);
      break;
    }
    case cp::CTL_GET_STATE: {
      auto* state = static_cast<cp::StateRecord*>(buffer);
      memset(state, 0, sizeof *state);
      describe_control_security(d->control, &state->control_aces, &state->control_grants);
      LockGuard guard(d->lock);
      d->model->fill_state(state);
      uint32_t held = 0;
      for (LIST_ENTRY* e = d->busy_slots.Flink; e != &d->busy_slots; e = e->Flink) {
        const Pending* p = slot_of(e);
        if (p->irp != nullptr && p->reason == Reason::Held && !p->forced) ++held;
      }
      state->held = held;
      state->pending = d->pending;
      state->opens = d->opens;
      state->closes = d->closes;
      state->cancels = d->cancels;
      information = sizeof *state;
      break;
    }
    case cp::CTL_READ_REQUESTS: {
      const uint32_t first = *static_cast<const uint32_t*>(buffer);
      LockGuard guard(d->lock);
      if (!d->model->read_requests(first, static_cast<cp::RequestPage*>(buffer))) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      information = sizeof(cp::RequestPage);
      break;
    }
    case cp::CTL_CLEAR_REQUESTS: {
      LockGuard guard(d->lock);
      d->model->clear_requests();
      break;
    }
    case cp::CTL_READ_FRAMES: {
      auto* page = static_cast<cp::FramePage*>(buffer);
      memset(page, 0, sizeof *page);
      LockGuard guard(d->lock);
      d->model->read_frames(page);
      information = sizeof *page;
      break;
    }
    case cp::CTL_READ_EEPROM: {
      auto* record = static_cast<cp::EepromRecord*>(buffer);
      memset(record, 0, sizeof *record);
      LockGuard guard(d->lock);
      d->model->read_eeprom(record);
      information = sizeof *record;
      break;
    }
    case cp::CTL_WRITE_EEPROM: {
      const auto* record = static_cast<const cp::EepromRecord*>(buffer);
      if (record->type != wire::kEepromType128 && record->type != wire::kEepromType256) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      LockGuard guard(d->lock);
      if (!d->model->write_eeprom(*record)) status = STATUS_INVALID_PARAMETER;
      break;
    }
    case cp::CTL_SET_QUERY_WORD: {
      const cp::WordRecord r = *static_cast<const cp::WordRecord*>(buffer);
      LockGuard guard(d->lock);
      if (!d->model->set_query_word(r.oid, r.value)) status = STATUS_INVALID_PARAMETER;
      break;
    }
    case cp::CTL_QUEUE_RX_FRAME: {
      const auto* r = static_cast<const cp::FrameRecord*>(buffer);
      if (r->size > cp::kFrameCapacity) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      LockGuard guard(d->lock);
      if (!d->model->queue_rx_frame(r->bytes, r->size)) status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    case cp::CTL_SET_REGISTER: {
      const cp::RegisterRecord r = *static_cast<const cp::RegisterRecord*>(buffer);
      if (r.file > cp::kRfRegisters) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      LockGuard guard(d->lock);
      if (!d->model->set_register(r.file, r.address, r.value))
        status = STATUS_INSUFFICIENT_RESOURCES;  // the register table is full
      break;
    }
    case cp::CTL_GET_REGISTER: {
      auto* r = static_cast<cp::RegisterRecord*>(buffer);
      if (r->file > cp::kRfRegisters) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      LockGuard guard(d->lock);
      r->value = d->model->register_value(r->file, r->address);
      information = sizeof *r;
      break;
    }
    case cp::CTL_SET_ADDRESSES: {
      const cp::AddressRecord r = *static_cast<const cp::AddressRecord*>(buffer);
      LockGuard guard(d->lock);
      d->model->set_addresses(r);
      break;
    }
  }
  return complete_now(irp, status, NT_ERROR(status) ? 0 : information);
}

NTSTATUS control_dispatch(Driver* d, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      if (opens_a_name_below(stack)) return complete_now(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
      return complete_now(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return complete_now(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return control_device_control(d, irp, stack);
    default:
      return complete_now(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  DeviceExtension* ext = extension(device);
  if (ext->kind == DeviceKind::Adapter) return adapter_dispatch(ext->driver, irp);
  return control_dispatch(ext->driver, irp);
}

// ---------------------------------------------------------------------------------------------
// Load and unload

void sleep_ms(uint32_t ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = kOneMillisecond * LONGLONG(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Opens (creates) <service key><suffix>.
template <size_t N>
NTSTATUS open_key(const WCHAR* service_key, size_t service_chars, const char16_t (&suffix)[N],
                  HANDLE* key) {
  const size_t suffix_chars = N - 1;
  const size_t bytes = (service_chars + suffix_chars) * sizeof(WCHAR);
  if (bytes > 0xFFF0) return STATUS_INVALID_PARAMETER;
  auto* name = new (std::nothrow) WCHAR[service_chars + suffix_chars];
  if (name == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(name, service_key, service_chars * sizeof(WCHAR));
  memcpy(name + service_chars, suffix, suffix_chars * sizeof(WCHAR));
  UNICODE_STRING key_name;
  key_name.Buffer = name;
  key_name.Length = key_name.MaximumLength = USHORT(bytes);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  const NTSTATUS status =
      ZwCreateKey(key, KEY_SET_VALUE, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
  delete[] name;
  return status;
}

// <RegistryPath>\Linkage, value Export: the adapter device's path, as a one-entry REG_MULTI_SZ.
NTSTATUS publish_linkage(const Driver* d) {
  HANDLE key = nullptr;
  NTSTATUS status = open_key(d->service_key, d->service_chars, u"\\Linkage", &key);
  if (!NT_SUCCESS(status)) return status;
  // The path, its terminating NUL and the list's terminating NUL.
  constexpr size_t kPathChars = sizeof cp::kAdapterDevicePath / sizeof(char16_t);
  char16_t value[kPathChars + 1];
  memcpy(value, cp::kAdapterDevicePath, sizeof cp::kAdapterDevicePath);
  value[kPathChars] = 0;
  UNICODE_STRING value_name = unicode(wire::kLinkageValue);
  status = ZwSetValueKey(key, &value_name, 0, REG_MULTI_SZ, value, sizeof value);
  ZwClose(key);
  return status;
}

// <RegistryPath>\Parameters, value LeftAtUnload (REG_DWORD): 0xFFFFFFFF while the driver runs;
// at unload, how many requests and timers it could not end (0: everything ended, all freed).
void record_left_at_unload(const Driver* d, ULONG left) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(open_key(d->service_key, d->service_chars, u"\\Parameters", &key))) return;
  UNICODE_STRING value_name = unicode(u"LeftAtUnload");
  ZwSetValueKey(key, &value_name, 0, REG_DWORD, &left, sizeof left);
  ZwClose(key);
}

void free_driver(Driver* d, bool memory_safe_to_free) {
  if (d->control_link) {
    UNICODE_STRING link = unicode(cp::kControlDosName);
    IoDeleteSymbolicLink(&link);
  }
  if (d->control != nullptr) IoDeleteDevice(d->control);
  if (d->adapter != nullptr) IoDeleteDevice(d->adapter);
  if (!memory_safe_to_free) return;  // a timer might still fire: leak rather than crash
  ModelHost::destroy(d->model);
  delete[] d->slots;
  delete[] d->service_key;
  delete d;
}

Driver* g_driver = nullptr;

void NTAPI unload(PDRIVER_OBJECT) {
  Driver* d = g_driver;
  if (d == nullptr) return;
  // End every pended IRP; a cancel routine on its way completes its IRP itself.
  {
    LockGuard guard(d->lock);
    d->draining = true;
  }
  drain_all(d, nullptr, false);
  for (int i = 0; i < 2000; ++i) {
    {
      LockGuard guard(d->lock);
      if (d->pending == 0) break;
    }
    sleep_ms(1);
  }
  // Timers: cancel those still queued, wait for the ones already firing.
  for (uint32_t i = 0; i < kPendingSlots; ++i) {
    Pending* p = &d->slots[i];
    bool armed, cancel_armed;
    {
      LockGuard guard(d->lock);
      armed = p->timer_armed;
      cancel_armed = p->cancel_timer_armed;
    }
    const bool stopped = armed && KeCancelTimer(&p->timer);
    const bool cancel_stopped = cancel_armed && KeCancelTimer(&p->cancel_timer);
    LockGuard guard(d->lock);
    if (stopped) p->timer_armed = false;
    if (cancel_stopped) p->cancel_timer_armed = false;
    release_if_idle(d, p);
  }
  bool idle = false;
  ULONG left = 0;
  for (int i = 0; i < 2000 && !idle; ++i) {
    {
      LockGuard guard(d->lock);
      idle = d->pending == 0 && IsListEmpty(&d->busy_slots);
      left = d->pending;
      for (LIST_ENTRY* e = d->busy_slots.Flink; e != &d->busy_slots; e = e->Flink)
        left += ULONG(slot_of(e)->timer_armed) + ULONG(slot_of(e)->cancel_timer_armed);
    }
    if (!idle) sleep_ms(1);
  }
  if (idle) sleep_ms(10);  // let a timer callback that has just released its slot return
  record_left_at_unload(d, idle ? 0 : (left != 0 ? left : 1));
  g_driver = nullptr;
  free_driver(d, idle);
}

NTSTATUS create_devices(Driver* d, PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
  // FILE_DEVICE_SECURE_OPEN: an open of a name below a device is checked against the device's
  // own security, as an open of the device itself is.
  UNICODE_STRING adapter_name = unicode(cp::kAdapterDevicePath);
  NTSTATUS status = IoCreateDevice(driver_object, sizeof(DeviceExtension), &adapter_name,
                                   wire::kDeviceType, FILE_DEVICE_SECURE_OPEN, FALSE, &d->adapter);
  if (!NT_SUCCESS(status)) return status;
  *extension(d->adapter) = {DeviceKind::Adapter, d};
  d->adapter->Flags |= DO_BUFFERED_IO;

  d->service_chars = registry_path->Length / sizeof(WCHAR);
  d->service_key = new (std::nothrow) WCHAR[d->service_chars + 1];
  if (d->service_key == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(d->service_key, registry_path->Buffer, d->service_chars * sizeof(WCHAR));
  status = publish_linkage(d);
  if (!NT_SUCCESS(status)) return status;
  record_left_at_unload(d, 0xFFFFFFFF);

  UNICODE_STRING control_name = unicode(cp::kControlDeviceName);
  status = IoCreateDevice(driver_object, sizeof(DeviceExtension), &control_name,
                          cp::kControlDeviceType, FILE_DEVICE_SECURE_OPEN, FALSE, &d->control);
  if (!NT_SUCCESS(status)) return status;
  *extension(d->control) = {DeviceKind::Control, d};
  // Before the link exists and the device takes opens: a device that cannot be locked is not
  // offered at all.
  status = restrict_to_administrators(d->control);
  if (!NT_SUCCESS(status)) return status;
  d->control->Flags |= DO_BUFFERED_IO;
  UNICODE_STRING link = unicode(cp::kControlDosName);
  status = IoCreateSymbolicLink(&link, &control_name);
  if (!NT_SUCCESS(status)) return status;
  d->control_link = true;

  d->adapter->Flags &= ~DO_DEVICE_INITIALIZING;
  d->control->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace vadapter

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
  using namespace vadapter;
  Driver* d = new (std::nothrow) Driver();
  if (d == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  d->lock.init();
  InitializeListHead(&d->free_slots);
  InitializeListHead(&d->busy_slots);
  d->slots = new (std::nothrow) Pending[kPendingSlots];
  d->model = ModelHost::create(kPowerOnConfig);
  if (d->slots == nullptr || d->model == nullptr) {
    free_driver(d, true);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (uint32_t i = 0; i < kPendingSlots; ++i) {
    Pending* p = &d->slots[i];
    memset(p, 0, sizeof *p);
    p->driver = d;
    KeInitializeTimer(&p->timer);
    KeInitializeDpc(&p->dpc, timer_fired, p);
    KeInitializeTimer(&p->cancel_timer);
    KeInitializeDpc(&p->cancel_dpc, cancel_timer_fired, p);
    InsertTailList(&d->free_slots, &p->link);
  }

  // One dispatch routine for every major function; it refuses those the devices do not serve.
  for (auto& major : driver_object->MajorFunction) major = dispatch;
  driver_object->DriverUnload = unload;

  const NTSTATUS status = create_devices(d, driver_object, registry_path);
  if (!NT_SUCCESS(status)) {
    free_driver(d, true);
    return status;
  }
  g_driver = d;
  return STATUS_SUCCESS;
}
