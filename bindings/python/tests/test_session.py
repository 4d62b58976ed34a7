"""The station session through the Pythonic layer, on the simulated adapter."""
import time

import pytest

import talven

FAIL_REQUEST, NEVER_COMPLETE, WRONG_COMMAND_ID = 0, 1, 2


def test_station_session(dut):
    dut.start_test()
    dut.set_channel_direct_call(6)
    dut.set_data_rate(108)
    dut.set_tx_power_control(12)
    assert dut.get_tx_power_control() == 12
    dut.reset_tx_packet_sent()
    started = time.monotonic()
    with dut.continuous_frames():
        time.sleep(0.3)
    assert time.monotonic() - started < 30  # the stop returned; it does not hang
    assert dut.query_tx_packet_sent() > 0
    table = dut.read_power_control()
    assert table[1] == (0x9, 0xA) and table[14] == (0x9, 0xB)
    assert table[36] == 0x40 and table[40] == 0x41 and table[161] == 0x4B
    assert dut.read_mac_address() == "00:5B:A7:12:34:56"
    dut.stop_test()


def test_outputs_come_back_as_values(dut):
    assert dut.query_eeprom_type() == 2
    assert dut.read_eeprom_byte(10) == 0x35
    assert dut.read_eeprom_tx_power_base_offset() == (0x3, 0x5)
    dut.set_tx_power_base_offset(0x12, 0x34)  # only the low 4 bits count
    assert dut.get_tx_power_base_offset() == (0x2, 0x4)
    assert dut.read_reg_data(0x50, 4) == dut.read_reg_data(0xFF50, 4)
    image = dut.read_eeprom()
    assert isinstance(image, bytes) and len(image) == 256
    assert image[:6] == bytes([0x29, 0x80, 0x1A, 0x2B, 0x3C, 0x4D])
    assert image[14:20] == bytes([0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56])
    assert dut.read_eeprom(1) == image[:128]


def test_mac_addresses_as_text(dut):
    dut.write_mac_address("02-11-22-33-44-5f")
    assert dut.read_mac_address() == "02:11:22:33:44:5F"
    assert dut.read_eeprom_mac_addr() == "00:5B:A7:12:34:56"  # the EEPROM copy is another one
    assert dut.query_permanent_address() == "00:5B:A7:12:34:56"
    for bad in ("00:11:22:33:44", "00:11:22:33:44:GG", "0011.2233.4455"):
        with pytest.raises(ValueError):
            dut.write_mac_address(bad)


def test_power_table_written_and_read_back(dut):
    before = dut.read_power_control()
    changed = dict(before)
    changed[3] = (0x1, 0xF)
    changed[157] = 0x77
    try:
        dut.write_power_control(changed)
        assert dut.read_power_control() == changed
    finally:
        dut.write_power_control(before)
    incomplete = dict(before)
    del incomplete[64]
    with pytest.raises(ValueError):
        dut.write_power_control(incomplete)


def test_eeprom_image_and_cis_round_trip(dut):
    image = dut.read_eeprom()
    changed = bytearray(image)
    changed[100:104] = b"\x01\x02\x03\x04"
    try:
        dut.write_eeprom(changed)
        assert dut.read_eeprom() == bytes(changed)
    finally:
        dut.write_eeprom(image)
    dut.write_cis_data(b"\x01\x03\xd9\x01\xff")
    assert dut.read_cis_data() == b"\x01\x03\xd9\x01\xff"
    with pytest.raises(ValueError):
        dut.write_eeprom(b"\0" * 100)


@pytest.mark.parametrize("oid, mode, call, name", [
    (0xFF4D1008, FAIL_REQUEST, lambda d: d.set_channel_direct_call(6), "SetChannelDirectCall"),
    (0xFF4E5285, FAIL_REQUEST, lambda d: d.get_ack_counter(), "GetAckCounter"),
    (0xFF4D1022, WRONG_COMMAND_ID, lambda d: d.read_eeprom_byte(4), "ReadEEpromByte"),
    (0xFF4D101C, FAIL_REQUEST, lambda d: d.read_mac_address(), "ReadMACAddress"),
    (0xFF4D1022, FAIL_REQUEST, lambda d: d.read_power_control(), "ReadPowerControl"),
    (0xFF4D1021, FAIL_REQUEST, lambda d: d.write_eeprom_vid(0x1234), "WriteEEpromVid"),
])
def test_failures_raise_naming_operation_and_result(dut, sim, oid, mode, call, name):
    assert sim.talven_sim_fail_oid(oid, mode, 1) == 1
    with pytest.raises(talven.TalvenError) as error:
        call(dut)
    assert error.value.operation == name
    assert error.value.result == 0
    assert name in str(error.value) and "result 0" in str(error.value)
    call(dut)  # the fault hit once; the next call succeeds


def test_send_and_receive_frames(dut, sim):
    frames = sim.talven_sim_request_count(0)
    dut.send_frame(bytes(range(60)))
    dut.packet_set_filter(0x0B)
    dut.packet_reset_adapter()
    assert sim.talven_sim_request_count(0) > frames


def test_one_open_adapter_per_context(sim):
    talven.start_packet_driver()
    with talven.open_adapter() as dut:
        assert dut.handle is not None
    assert dut.handle is None
    with pytest.raises(talven.TalvenError) as error:
        talven.open_adapter("\\Device\\NoSuchAdapter")
    assert error.value.operation == "OpenDUT"


def test_example_script_runs_the_session(sim):
    import os
    import subprocess
    import sys
    script = os.path.join(os.path.dirname(__file__), "..", "examples", "station_session.py")
    run = subprocess.run([sys.executable, script, "--seconds", "0.2"], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "MAC address: 00:5B:A7:12:34:56" in lines
    assert "channel 36: 64" in lines and "channel 1: (9, 10)" in lines
    sent = [int(line.split(":")[1]) for line in lines if line.startswith("frames sent:")]
    assert sent and sent[0] > 0


# Arguments that C would cut to their type: refused, with nothing sent.
@pytest.mark.parametrize("call, error", [
    (lambda d: d.set_channel_direct_call(2**40), ValueError),
    (lambda d: d.set_channel_direct_call(-1), ValueError),
    (lambda d: d.set_tx_power_base_offset(1, 2**32), ValueError),
    (lambda d: d.read_reg_data(0x50, 2**31), ValueError),  # width is a LONG
    (lambda d: d.write_bb_data(0x10, 1, -2**31 - 1), ValueError),
    (lambda d: d.set_data_rate("108"), TypeError),
    (lambda d: d.set_data_rate(10.5), TypeError),
    (lambda d: d.read_eeprom(3), ValueError),
    (lambda d: d.tx_continuous(1, stop_value=2**32), ValueError),
])
def test_arguments_outside_their_c_type_are_refused_before_sending(dut, sim, call, error):
    sent = sim.talven_sim_request_count(0)
    with pytest.raises(error):
        call(dut)
    assert sim.talven_sim_request_count(0) == sent


def test_c_type_limits_themselves_are_sent(dut):
    dut.set_preamble(2**32 - 1)
    with pytest.raises(talven.TalvenError):
        dut.read_reg_data(0x50, -2**31)  # a LONG the library refuses as a width, not Python


@pytest.mark.parametrize("call", [
    lambda d: d.set_channel_direct_call(6),
    lambda d: d.get_tx_power_control(),
    lambda d: d.read_eeprom(),
    lambda d: d.read_power_control(),
    lambda d: d.send_frame(b"\0" * 60),
    lambda d: d.continuous_frames(),
])
def test_a_closed_adapter_says_so_and_sends_nothing(sim, call):
    talven.start_packet_driver()
    dut = talven.open_adapter()
    dut.close()
    dut.close()  # a second close does nothing
    sent = sim.talven_sim_request_count(0)
    with pytest.raises(talven.AdapterClosedError, match="^adapter is closed$"):
        call(dut)
    assert sim.talven_sim_request_count(0) == sent


def test_tests_stop_at_the_end_of_their_block_and_at_close(sim):
    tx_continuous, rx_test = 0xFF4D100B, 0xFF4D1030
    talven.start_packet_driver()
    dut = talven.open_adapter()
    before = sim.talven_sim_request_count(tx_continuous)
    with pytest.raises(RuntimeError):
        with dut.tx_continuous(1):
            raise RuntimeError("station fault")
    assert sim.talven_sim_request_count(tx_continuous) - before == 2  # on, then off
    before = sim.talven_sim_request_count(rx_test)
    dut.packet_rx_test()  # never ended by its block
    dut.close()
    assert sim.talven_sim_request_count(rx_test) - before == 2
