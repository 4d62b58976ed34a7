"""The raw layer: every operation bound by name, with the types of talven.h."""
import ctypes

import pytest

import talven
from talven import _raw

# Hand-kept: the C types of a few prototypes of talven.h, as ctypes must see them.
SAMPLES = {
    "OpenDUT": (ctypes.c_void_p, [_raw.WCHAR_P]),
    "ReadRegData": (ctypes.c_uint32, [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32,
                                      ctypes.POINTER(ctypes.c_uint32)]),
    "GetTxPowerBaseOffset": (ctypes.c_uint32, [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint8),
                                               ctypes.POINTER(ctypes.c_uint8)]),
    "PacketSetFilter": (ctypes.c_uint8, [ctypes.c_void_p, ctypes.c_uint32]),
    "PacketInitPacket": (ctypes.c_uint32, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]),
    "ReadPowerControl": (ctypes.c_uint32, [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint8),
                                           ctypes.c_int32]),
}


def test_every_operation_is_bound():
    lib = _raw.library()
    assert len(lib.operations) == 83
    for name in lib.operations:
        assert callable(getattr(lib, name)), name


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_types_follow_the_prototypes(name):
    function = getattr(_raw.library(), name)
    restype, argtypes = SAMPLES[name]
    assert function.restype is restype
    assert list(function.argtypes) == argtypes


def test_wide_strings_are_utf16_and_str_is_refused():
    assert bytes(_raw.wide("Aé")) == b"A\x00\xe9\x00\x00\x00"
    with pytest.raises(ctypes.ArgumentError):
        _raw.library().OpenDUT("\\Device\\NORVAKS_x")  # a str would go as UTF-32


def test_raw_calls_write_out_pointers(sim):
    lib = _raw.library()
    talven.start_packet_driver()
    adapter = lib.OpenDUT(_raw.wide(talven.adapter_names()[0]))
    assert adapter
    try:
        eeprom_type = ctypes.c_uint32(99)
        assert lib.QueryEEpromType(adapter, ctypes.byref(eeprom_type)) == 1
        assert eeprom_type.value == 2
        count = ctypes.c_uint32(777)
        sim.talven_sim_fail_oid(0xFF4E5285, 0, 1)  # GetAckCounter's query refused
        assert lib.GetAckCounter(adapter, ctypes.byref(count)) == 0
        assert count.value == 777  # left alone on failure
    finally:
        assert lib.CloseDUT(adapter) == 1


def test_power_table_layout():
    table = bytearray(74)
    table[0], table[60] = 0x0A, 0x09  # channel 1: low, high
    table[13], table[73] = 0x01, 0x0F  # channel 14
    table[19], table[21] = 0x40, 0x41  # channels 36 and 40 (positions 5 and 7)
    table[56], table[59] = 0x48, 0x4B  # channels 149 and 161 (positions 42 and 45)
    mapping = talven.power_table_from_bytes(table)
    assert mapping[1] == (0x09, 0x0A) and mapping[14] == (0x0F, 0x01)
    assert mapping[36] == 0x40 and mapping[40] == 0x41
    assert mapping[149] == 0x48 and mapping[161] == 0x4B
    assert len(mapping) == 26
    assert talven.power_table_to_bytes(mapping) == bytes(table)
    with pytest.raises(ValueError):
        talven.power_table_to_bytes({**mapping, 2: (16, 0)})


@pytest.mark.parametrize("name, snake", [
    ("SetChannelDirectCall", "set_channel_direct_call"),
    ("ReadEEpromByte", "read_eeprom_byte"),
    ("QueryRxPacketCRC32Error", "query_rx_packet_crc32_error"),
    ("SetBBRFStandbyMode", "set_bbrf_standby_mode"),
    ("WriteMACAddress", "write_mac_address"),
    ("PKT32OFDMContinuousTx", "pkt32_ofdm_continuous_tx"),
    ("RFReadRegData", "rf_read_reg_data"),
])
def test_snake_case_names(name, snake):
    assert talven.snake_case(name) == snake
