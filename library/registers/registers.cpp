// MAC, baseband and RF registers. Every access, reads included, is a set request carrying
// {address, width/bank/selector, value or 0xFFFFFFFF} in Param[0..2], followed by the wait for
// its command; a read's value is the result word of that command's completion.
#include "library/core/request_runner.h"

using namespace talven::wire;
using talven::family::kSet;
using talven::family::Op;
using talven::family::Output;
using talven::family::send;
using talven::family::wait_for;

namespace {

constexpr uint32_t kRegisterLength = 12;

// MAC access widths in bytes and the commands that carry them.
struct MacWidth {
  LONG width;
  int32_t read, write;
};
constexpr MacWidth kMacWidths[] = {
    {1, CMD_MAC_READ_1, CMD_MAC_WRITE_1},
    {2, CMD_MAC_READ_2, CMD_MAC_WRITE_2},
    {4, CMD_MAC_READ_4, CMD_MAC_WRITE_4},
};

const MacWidth* mac_width(LONG width) {
  for (const MacWidth& w : kMacWidths)
    if (w.width == width) return &w;
  return nullptr;
}

// MAC page rule: an address with bits 8 to 15 all clear is sent with them all set.
constexpr ULONG mac_page(ULONG address) {
  return (address & 0xFF00u) == 0 ? address | 0xFF00u : address;
}
static_assert(mac_page(0x0050) == 0xFF50 && mac_page(0x0150) == 0x0150);
static_assert(mac_page(0x10050) == 0x1FF50 && mac_page(0xFE12) == 0xFE12);

// Baseband bank: only the low byte of the argument counts, and only 1 selects bank 1.
constexpr bool bank_one(ULONG bank) {
  return (bank & 0xFF) == 1;
}

constexpr Op write_op(const WCHAR* name, uint32_t oid, int32_t command) {
  return {name, oid, kRegisterLength, kSet, wait_for(command), Output::None};
}
constexpr Op read_op(const WCHAR* name, uint32_t oid, int32_t command) {
  return {name, oid, kRegisterLength, kSet, wait_for(command), Output::FromWait};
}

}  // namespace

extern "C" ULONG WINAPI WriteRegData(Adapter* a, ULONG address, LONG width, ULONG value) {
  if (talven::refuse_null(TEXT("WriteRegData"), {{a, TEXT("Adapter")}})) return 0;
  const MacWidth* w = mac_width(width);
  if (w == nullptr) return 0;
  return send(a, write_op(TEXT("WriteRegData"), OID_MAC_REG_WRITE, w->write),
              {mac_page(address), ULONG(width), value});
}

extern "C" ULONG WINAPI ReadRegData(Adapter* a, ULONG address, LONG width, PULONG value) {
  if (talven::refuse_null(TEXT("ReadRegData"), {{a, TEXT("Adapter")}})) return 0;
  const MacWidth* w = mac_width(width);
  if (w == nullptr) return 0;
  return send(a, read_op(TEXT("ReadRegData"), OID_MAC_REG_READ, w->read),
              {mac_page(address), ULONG(width), kReadPlaceholder}, value);
}

extern "C" ULONG WINAPI WriteBBData(Adapter* a, ULONG address, ULONG bank, ULONG value) {
  const bool one = bank_one(bank);
  return send(a,
              write_op(TEXT("WriteBBData"), OID_BB_REG_WRITE,
                       one ? CMD_BB_WRITE_BANK1 : CMD_BB_WRITE_BANK0),
              {address, one ? 1u : 0u, value});
}

extern "C" ULONG WINAPI ReadBBData(Adapter* a, ULONG address, ULONG bank, PULONG value) {
  const bool one = bank_one(bank);
  return send(
      a, read_op(TEXT("ReadBBData"), OID_BB_REG_READ, one ? CMD_BB_READ_BANK1 : CMD_BB_READ_BANK0),
      {address, one ? 1u : 0u, kReadPlaceholder}, value);
}

extern "C" ULONG WINAPI RFWriteRegData(Adapter* a, ULONG address, ULONG selector, ULONG value) {
  return send(a, write_op(TEXT("RFWriteRegData"), OID_RF_REG_WRITE, CMD_RF_WRITE),
              {address, selector, value});
}

extern "C" ULONG WINAPI RFReadRegData(Adapter* a, ULONG address, ULONG selector, PULONG value) {
  return send(a, read_op(TEXT("RFReadRegData"), OID_RF_REG_READ, CMD_RF_READ),
              {address, selector, kReadPlaceholder}, value);
}
