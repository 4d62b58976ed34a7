// Test control and radio configuration: one OidData request each, twelve of them asynchronous
// commands that end with a completion wait. The rows below are the whole family; the few
// members with steps of their own follow them.
#include "library/core/request_runner.h"

using namespace talven::wire;
using talven::family::kNoWait;
using talven::family::kQuery;
using talven::family::kSet;
using talven::family::Op;
using talven::family::Output;
using talven::family::send;
using talven::family::wait_for;

namespace {

// clang-format off
//                                 Operation                                   Oid                              Len Dir      Completion wait                                 Caller's output
constexpr Op kStartTest           {TEXT("StartTest"),                          OID_START_TEST,                  4,  kSet,    wait_for(CMD_TEST_START, talven::policy::kStartTestPollLimit),  Output::None};
constexpr Op kStopTest            {TEXT("StopTest"),                           OID_STOP_TEST,                   4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kResetDUT            {TEXT("ResetDUT"),                           OID_RESET_DUT,                   4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetInitialGain      {TEXT("SetInitialGain"),                     OID_SET_INITIAL_GAIN,            4,  kSet,    wait_for(CMD_INITIAL_GAIN),                     Output::None};
constexpr Op kSetModulation       {TEXT("SetModulation"),                      OID_SET_MODULATION,              4,  kSet,    wait_for(CMD_MODULATION),                       Output::None};
constexpr Op kSetChannel          {TEXT("SetChannelDirectCall"),               OID_SET_CHANNEL,                 4,  kSet,    wait_for(CMD_CHANNEL),                          Output::None};
constexpr Op kSetDataRate         {TEXT("SetDataRate"),                        OID_SET_DATA_RATE,               4,  kSet,    wait_for(CMD_DATA_RATE),                        Output::None};
constexpr Op kSetAntennaBB        {TEXT("SetAntennaBB"),                       OID_SET_ANTENNA_BB,              4,  kSet,    wait_for(CMD_ANTENNA),                          Output::None};
constexpr Op kSetTxPowerControl   {TEXT("SetTxPowerControl"),                  OID_SET_TX_POWER_CONTROL,        4,  kSet,    wait_for(CMD_TX_POWER),                         Output::None};
constexpr Op kSetTxPowerBaseOffset{TEXT("SetTxPowerBaseOffset"),               OID_SET_TX_POWER_BASE_OFFSET,    4,  kSet,    wait_for(CMD_TX_POWER),                         Output::None};
constexpr Op kSetTxContinuous     {TEXT("SetTxContinuousDirectCall"),          OID_SET_TX_CONTINUOUS,           4,  kSet,    wait_for(CMD_TX_CONTINUOUS),                    Output::None};
constexpr Op kSetSingleCarrier    {TEXT("SetSingleCarrierTxContinuous"),       OID_SET_SINGLE_CARRIER_TX,       4,  kSet,    wait_for(CMD_SINGLE_CARRIER_TX),                Output::None};
constexpr Op kSetCarrierSuppress  {TEXT("SetCarrierSuppressionTxContinuous"),  OID_SET_CARRIER_SUPPRESSION_TX,  4,  kSet,    wait_for(CMD_CARRIER_SUPPRESSION_TX),           Output::None};
constexpr Op kSetPacketRxTest     {TEXT("SetPacketRxTest"),                    OID_SET_PACKET_RX_TEST,          4,  kSet,    wait_for(CMD_PACKET_RX_TEST),                   Output::None};
constexpr Op kSetPreamble         {TEXT("SetPreamble"),                        OID_SET_PREAMBLE,                4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetFilterBB         {TEXT("SetFilterBB"),                        OID_SET_FILTER_BB,               4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetManualDiversityBB{TEXT("SetManualDiversityBB"),               OID_SET_MANUAL_DIVERSITY_BB,     4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetTxAntennaBB      {TEXT("SetTxAntennaBB"),                     OID_SET_TX_ANTENNA_BB,           4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetCRScrambler      {TEXT("SetCRScrambler"),                     OID_SET_CR_SCRAMBLER,            4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetCRTxConfig       {TEXT("SetCRTxConfig"),                      OID_SET_CR_TX_CONFIG,            4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetCRSetpoint       {TEXT("SetCRSetpoint"),                      OID_SET_CR_SETPOINT,             4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kTunePhilipsRf       {TEXT("TunePhilipsRfParameters"),            OID_TUNE_PHILIPS_RF,             4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetBBRFStandbyMode  {TEXT("SetBBRFStandbyMode"),                 OID_SET_BBRF_STANDBY,            4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetBBRFShutdownMode {TEXT("SetBBRFShutdownMode"),                OID_SET_BBRF_SHUTDOWN,           4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetTxChargePump     {TEXT("SetTxChargePump"),                    OID_SET_TX_CHARGE_PUMP,          4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetRxChargePump     {TEXT("SetRxChargePump"),                    OID_SET_RX_CHARGE_PUMP,          4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetSleepMode        {TEXT("SetSleepModeDirectCall"),             OID_SET_SLEEP_MODE,              4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetWakeMode         {TEXT("SetWakeModeDirectCall"),              OID_SET_WAKE_MODE,               4,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetIntegrator       {TEXT("SetIntegrator"),                      OID_SET_INTEGRATOR,              8,  kSet,    kNoWait,                                        Output::None};
constexpr Op kSetSignalQuality    {TEXT("SetSignalQuality"),                   OID_SET_SIGNAL_QUALITY,          8,  kSet,    kNoWait,                                        Output::None};
constexpr Op kGetTxPowerControl   {TEXT("GetTxPowerControl"),                  OID_GET_TX_POWER_CONTROL,        4,  kQuery,  kNoWait,                                        Output::Always};
constexpr Op kGetCRSignalQuality  {TEXT("GetCRSignalQuality"),                 OID_GET_CR_SIGNAL_QUALITY,       4,  kQuery,  kNoWait,                                        Output::Always};
constexpr Op kQueryRFType         {TEXT("QueryRFType"),                        OID_QUERY_RF_TYPE,               4,  kQuery,  kNoWait,                                        Output::Always};
constexpr Op kGetIntegrator       {TEXT("GetIntegrator"),                      OID_GET_INTEGRATOR,              8,  kQuery,  kNoWait,                                        Output::Always};
constexpr Op kGetSignalQuality    {TEXT("GetSignalQuality"),                   OID_GET_SIGNAL_QUALITY,          4,  kQuery,  kNoWait,                                        Output::Always};
constexpr Op kGetTxPowerBaseOffset{TEXT("GetTxPowerBaseOffset"),               OID_GET_TX_POWER_BASE_OFFSET,    4,  kQuery,  kNoWait,                                        Output::OnSuccess};
// clang-format on

}  // namespace

// ---- Commands with their own steps ----

extern "C" ULONG WINAPI StartTest(Adapter* adapter) {
  if (talven::refuse_null(TEXT("StartTest"), {{adapter, TEXT("Adapter")}})) return 0;
  OutputDebugStringW(TEXT("==>TALVEN: StartTest()\n"));
  const auto [result, allocated] = talven::family::run(adapter, kStartTest, {0});
  if (!allocated) {
    OutputDebugStringW(TEXT("TALVEN: StartTest(): failed to allocate OidData !!!\n"));
    return 0;
  }
  OutputDebugStringW(result != 0 ? TEXT("TALVEN: StartTest success.\n")
                                 : TEXT("TALVEN: StartTest failed.\n"));
  OutputDebugStringW(TEXT("<==TALVEN: StartTest()\n"));
  return result;
}

extern "C" ULONG WINAPI StopTest(Adapter* adapter) {
  if (talven::refuse_null(TEXT("StopTest"), {{adapter, TEXT("Adapter")}})) return 0;
  OutputDebugStringW(TEXT("==>TALVEN: StopTest()\n"));
  const auto [result, allocated] = talven::family::run(adapter, kStopTest, {0});
  if (!allocated) {
    OutputDebugStringW(TEXT("TALVEN: StopTest(): failed to allocate OidData !!!\n"));
    return 0;
  }
  OutputDebugStringW(TEXT("<==TALVEN: StopTest()\n"));
  return result;
}

extern "C" ULONG WINAPI SetPacketRxTest(Adapter* adapter, ULONG enable) {
  return send(adapter, kSetPacketRxTest, {enable != 0 ? 1u : 0u});
}

// Two 4-bit values in one byte: high in bits 4 to 7, low in bits 0 to 3.
extern "C" ULONG WINAPI SetTxPowerBaseOffset(Adapter* adapter, ULONG high, ULONG low) {
  return send(adapter, kSetTxPowerBaseOffset, {((high & 0x0F) << 4) | (low & 0x0F)});
}

extern "C" ULONG WINAPI GetTxPowerBaseOffset(Adapter* adapter, PUCHAR high, PUCHAR low) {
  if (talven::refuse_null(TEXT("GetTxPowerBaseOffset"),
                          {{adapter, TEXT("Adapter")}, {high, TEXT("high")}, {low, TEXT("low")}}))
    return 0;
  ULONG packed = 0;
  const ULONG result = send(adapter, kGetTxPowerBaseOffset, {}, &packed);
  if (result == 1) {
    *high = static_cast<UCHAR>((packed >> 4) & 0x0F);
    *low = static_cast<UCHAR>(packed & 0x0F);
  }
  return result;
}

extern "C" ULONG WINAPI TunePhilipsRfParameters(Adapter* adapter, ULONG value) {
  return send(adapter, kTunePhilipsRf, {value}) & 0xFF;
}

// ---- The rest of the family, one row each ----

extern "C" ULONG WINAPI ResetDUT(Adapter* a) {
  return send(a, kResetDUT, {0});
}
extern "C" ULONG WINAPI SetInitialGain(Adapter* a, ULONG v) {
  return send(a, kSetInitialGain, {v});
}
extern "C" ULONG WINAPI SetModulation(Adapter* a, ULONG v) {
  return send(a, kSetModulation, {v});
}
extern "C" ULONG WINAPI SetChannelDirectCall(Adapter* a, ULONG v) {
  return send(a, kSetChannel, {v});
}
extern "C" ULONG WINAPI SetDataRate(Adapter* a, ULONG v) {
  return send(a, kSetDataRate, {v});
}
extern "C" ULONG WINAPI SetAntennaBB(Adapter* a, ULONG v) {
  return send(a, kSetAntennaBB, {v});
}
extern "C" ULONG WINAPI SetTxPowerControl(Adapter* a, ULONG v) {
  return send(a, kSetTxPowerControl, {v});
}
extern "C" ULONG WINAPI SetTxContinuousDirectCall(Adapter* a, ULONG v) {
  return send(a, kSetTxContinuous, {v});
}
extern "C" ULONG WINAPI SetSingleCarrierTxContinuous(Adapter* a, ULONG v) {
  return send(a, kSetSingleCarrier, {v});
}
extern "C" ULONG WINAPI SetCarrierSuppressionTxContinuous(Adapter* a, ULONG v) {
  return send(a, kSetCarrierSuppress, {v});
}
extern "C" ULONG WINAPI SetPreamble(Adapter* a, ULONG v) {
  return send(a, kSetPreamble, {v});
}
extern "C" ULONG WINAPI SetFilterBB(Adapter* a, ULONG v) {
  return send(a, kSetFilterBB, {v});
}
extern "C" ULONG WINAPI SetManualDiversityBB(Adapter* a, ULONG v) {
  return send(a, kSetManualDiversityBB, {v});
}
extern "C" ULONG WINAPI SetTxAntennaBB(Adapter* a, ULONG v) {
  return send(a, kSetTxAntennaBB, {v});
}
extern "C" ULONG WINAPI SetCRScrambler(Adapter* a, ULONG v) {
  return send(a, kSetCRScrambler, {v});
}
extern "C" ULONG WINAPI SetCRTxConfig(Adapter* a, ULONG v) {
  return send(a, kSetCRTxConfig, {v});
}
extern "C" ULONG WINAPI SetCRSetpoint(Adapter* a, ULONG v) {
  return send(a, kSetCRSetpoint, {v});
}
extern "C" ULONG WINAPI SetBBRFStandbyMode(Adapter* a, ULONG v) {
  return send(a, kSetBBRFStandbyMode, {v});
}
extern "C" ULONG WINAPI SetBBRFShutdownMode(Adapter* a, ULONG v) {
  return send(a, kSetBBRFShutdownMode, {v});
}
extern "C" ULONG WINAPI SetTxChargePump(Adapter* a, ULONG v) {
  return send(a, kSetTxChargePump, {v});
}
extern "C" ULONG WINAPI SetRxChargePump(Adapter* a, ULONG v) {
  return send(a, kSetRxChargePump, {v});
}
extern "C" ULONG WINAPI SetSleepModeDirectCall(Adapter* a) {
  return send(a, kSetSleepMode, {0});
}
extern "C" ULONG WINAPI SetWakeModeDirectCall(Adapter* a) {
  return send(a, kSetWakeMode, {0});
}
extern "C" ULONG WINAPI SetIntegrator(Adapter* a, ULONG first, ULONG second) {
  return send(a, kSetIntegrator, {first, second});
}
extern "C" ULONG WINAPI SetSignalQuality(Adapter* a, ULONG first, ULONG second) {
  return send(a, kSetSignalQuality, {first, second});
}
extern "C" ULONG WINAPI GetTxPowerControl(Adapter* a, PULONG out) {
  return send(a, kGetTxPowerControl, {}, out);
}
extern "C" ULONG WINAPI GetCRSignalQuality(Adapter* a, PULONG out) {
  return send(a, kGetCRSignalQuality, {}, out);
}
extern "C" ULONG WINAPI QueryRFType(Adapter* a, PULONG out) {
  return send(a, kQueryRFType, {}, out);
}
extern "C" ULONG WINAPI GetIntegrator(Adapter* a, ULONG index, PULONG out) {
  return send(a, kGetIntegrator, {index}, out);
}
extern "C" ULONG WINAPI GetSignalQuality(Adapter* a, ULONG index, PULONG out) {
  return send(a, kGetSignalQuality, {index}, out);
}
