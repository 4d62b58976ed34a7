// Traffic counters: one request with one word in Param[0] each, never a completion wait.
#include "library/core/request_runner.h"

using namespace talven::wire;
using talven::family::kNoWait;
using talven::family::kQuery;
using talven::family::kSet;
using talven::family::Op;
using talven::family::Output;
using talven::family::send;

namespace {

// clang-format off
//                                  Operation                         Oid                               Len Dir      Wait      Caller's output
constexpr Op kResetTxPacketSent    {TEXT("ResetTxPacketSent"),        OID_RESET_TX_PACKET_SENT,         4,  kSet,    kNoWait,  Output::None};
constexpr Op kQueryTxPacketSent    {TEXT("QueryTxPacketSent"),        OID_QUERY_TX_PACKET_SENT,         4,  kQuery,  kNoWait,  Output::Always};
constexpr Op kResetRxPacketReceived{TEXT("ResetRxPacketReceived"),    OID_RESET_RX_PACKET_RECEIVED,     4,  kSet,    kNoWait,  Output::None};
constexpr Op kQueryRxPacketReceived{TEXT("QueryRxPacketReceived"),    OID_QUERY_RX_PACKET_RECEIVED,     4,  kQuery,  kNoWait,  Output::Always};
constexpr Op kQueryRxPacketCRC32   {TEXT("QueryRxPacketCRC32Error"),  OID_QUERY_RX_PACKET_CRC32_ERROR,  4,  kQuery,  kNoWait,  Output::Always};
constexpr Op kEnableAckCounter     {TEXT("EnableAckCounter"),         OID_ENABLE_ACK_COUNTER,           4,  kSet,    kNoWait,  Output::None};
constexpr Op kResetAckCounter      {TEXT("ResetAckCounter"),          OID_RESET_ACK_COUNTER,            4,  kSet,    kNoWait,  Output::None};
constexpr Op kGetAckCounter        {TEXT("GetAckCounter"),            OID_GET_ACK_COUNTER,              4,  kQuery,  kNoWait,  Output::OnSuccess};
// clang-format on

}  // namespace

extern "C" ULONG WINAPI ResetTxPacketSent(Adapter* a) {
  return send(a, kResetTxPacketSent, {0});
}
extern "C" ULONG WINAPI QueryTxPacketSent(Adapter* a, PULONG count) {
  return send(a, kQueryTxPacketSent, {0}, count);
}
extern "C" ULONG WINAPI ResetRxPacketReceived(Adapter* a) {
  return send(a, kResetRxPacketReceived, {0});
}
extern "C" ULONG WINAPI QueryRxPacketReceived(Adapter* a, PULONG count) {
  return send(a, kQueryRxPacketReceived, {0}, count);
}
extern "C" ULONG WINAPI QueryRxPacketCRC32Error(Adapter* a, PULONG count) {
  return send(a, kQueryRxPacketCRC32, {0}, count);
}
// Any nonzero flag switches the counter on: the driver sees 1.
extern "C" ULONG WINAPI EnableAckCounter(Adapter* a, ULONG enable) {
  return send(a, kEnableAckCounter, {enable != 0 ? 1u : 0u});
}
extern "C" ULONG WINAPI ResetAckCounter(Adapter* a) {
  return send(a, kResetAckCounter, {0});
}
extern "C" ULONG WINAPI GetAckCounter(Adapter* a, PULONG count) {
  return send(a, kGetAckCounter, {0}, count);
}
