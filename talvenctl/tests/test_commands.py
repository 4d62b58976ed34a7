"""Every command on the simulated adapter, JSON outputs field by field. The factory image of
the simulated adapter: vendor id 0x1A2B, device id 0x3C4D, MAC 00:5B:A7:12:34:56, power base
offset byte 0x35, 2.4 GHz power bytes 0x9A/0x9B, 5 GHz bytes 0x20+offset."""
import json

import pytest

FACTORY_MAC = "00:5B:A7:12:34:56"


def test_info_reports_identity_addresses_and_offsets(station):
    info = station.ok("info")
    assert info["command"] == "info" and info["ok"] is True
    assert info["eeprom_type"] == 2
    assert info["eeprom_size"] == 256
    assert info["vendor_id"] == 0x1A2B
    assert info["device_id"] == 0x3C4D
    assert info["eeprom_mac"] == FACTORY_MAC
    assert info["runtime_mac"] == FACTORY_MAC
    assert info["permanent_mac"] == FACTORY_MAC
    assert info["rf_type"] == 3
    assert info["chip_variant"] is None
    assert info["eeprom_power_base_offset"] == {"high": 3, "low": 5}
    assert info["runtime_power_base_offset"] == {"high": 0, "low": 0}
    assert isinstance(info["cis_length"], int)


def test_info_text_is_readable(station):
    r = station.run("info", json_output=False)
    assert r.rc == 0
    assert "Vendor / device id: 0x1A2B / 0x3C4D" in r.out
    assert "MAC in EEPROM:      00:5B:A7:12:34:56" in r.out
    assert r.lines == []  # no JSON without --json
    assert r.err == ""  # no progress in a pipe


def test_adapters_lists_the_bound_adapter(station):
    r = station.ok("adapters")
    assert r["adapters"] == ["\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}"]


def test_adapter_and_service_selection(station):
    path = "\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}"
    assert station.ok("--adapter", path, "--service", "NORVAKS", "mac", "show")["eeprom"] == FACTORY_MAC
    missing = station.run("--adapter", "\\Device\\NORVAKS_{nothing}", "info")
    assert missing.rc == 3
    assert missing.last["error"]["kind"] == "no-adapter"
    assert missing.last["error"]["operation"] == "OpenDUT"
    nosvc = station.run("--service", "NOSUCHSVC", "info")
    assert nosvc.rc == 3
    assert nosvc.last["error"]["operation"] == "StartPacketDriver"


def test_eeprom_dump_formats(station):
    j = station.ok("eeprom", "dump")
    image = bytes.fromhex(j["image"])
    assert (j["type"], j["size"], len(image)) == (2, 256, 256)
    assert image[:6] == bytes([0x29, 0x80, 0x1A, 0x2B, 0x3C, 0x4D])
    assert image[14:20] == bytes([0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56])
    station.ok("eeprom", "dump", "--format", "bin", "--file", "img.bin")
    assert (station.folder / "img.bin").read_bytes() == image
    station.ok("eeprom", "dump", "--format", "json", "-o", "img.json")
    assert bytes.fromhex(json.loads((station.folder / "img.json").read_text())["image"]) == image
    text = station.run("eeprom", "dump", json_output=False)
    assert text.out.splitlines()[0] == "00: 29 80 1A 2B 3C 4D 01 00 00 00 35 FF FF FF 00 5B"
    assert len(text.out.splitlines()) == 16
    raw = station.run("eeprom", "dump", "--format", "bin", json_output=False)
    assert raw.raw == image


def test_eeprom_get_set_byte_and_word(station):
    assert station.ok("eeprom", "get", "10")["value"] == 0x35
    w = station.ok("eeprom", "get", "2", "--word")
    assert (w["offset"], w["width"], w["value"]) == (2, 2, 0x2B1A)
    s = station.ok("eeprom", "set", "0x80", "0xA5")
    assert (s["offset"], s["value"], s["verified"]) == (0x80, 0xA5, True)
    station.ok("eeprom", "set", "0x82", "0xBEEF", "--word")
    image = station.eeprom()
    assert image[0x80] == 0xA5 and image[0x82] == 0xEF and image[0x83] == 0xBE
    assert image[0x81] == 0xFF  # the neighbour is untouched


def test_eeprom_diff_names_the_differing_words(station):
    image = bytearray(station.eeprom())
    image[0x20] ^= 0xFF
    image[0x51] = 0x00
    (station.folder / "other.bin").write_bytes(bytes(image))
    r = station.run("eeprom", "diff", "other.bin")
    d = r.last
    assert r.rc == 1 and d["exit"] == 1 and d["ok"] is True  # as diff(1): 1 when they differ
    assert d["identical"] is False
    assert [x["offset"] for x in d["differences"]] == [0x20, 0x50]
    assert d["differences"][0]["eeprom"] == 0x4140 and d["differences"][0]["file"] == 0x41BF
    (station.folder / "same.bin").write_bytes(station.eeprom())
    assert station.ok("eeprom", "diff", "same.bin")["identical"] is True


def test_power_show_set_export_import(station):
    p = station.ok("power", "show")
    assert p["2.4GHz"][0] == {"channel": 1, "high": 9, "low": 10}
    assert p["2.4GHz"][1] == {"channel": 2, "high": 9, "low": 11}
    assert [c["channel"] for c in p["2.4GHz"]] == list(range(1, 15))
    five = {c["channel"]: c["value"] for c in p["5GHz"]}
    assert sorted(five) == [36, 40, 44, 48, 52, 56, 60, 64, 149, 153, 157, 161]
    assert (five[36], five[40], five[149], five[161]) == (0x40, 0x41, 0x48, 0x4B)

    s = station.ok("power", "set", "1=15/2", "36=200", "161=7")
    assert s["verified"] is True
    image = station.eeprom()
    assert image[44] == 0xF2 and image[32] == 200 and image[43] == 7

    station.ok("power", "export", "table.csv")
    csv = (station.folder / "table.csv").read_text().splitlines()
    assert csv[0] == "channel,setting" and csv[1] == "1,15/2" and "36,200" in csv
    station.ok("power", "export", "table.json")
    (station.folder / "new.csv").write_text("channel,setting\n2,1/3\n40,9\n")
    station.ok("power", "import", "new.csv")
    image = station.eeprom()
    assert image[45] == 0x13 and image[33] == 9 and image[44] == 0xF2
    station.ok("power", "import", "table.json")  # back to the exported table
    image = station.eeprom()
    assert image[45] == 0x9B and image[33] == 0x41


def test_id_set_writes_swapped_bytes(station):
    r = station.ok("id", "set", "--vid", "0x1234", "--did", "0xABCD")
    assert (r["vendor_id"], r["device_id"], r["verified"]) == (0x1234, 0xABCD, True)
    assert station.eeprom()[2:6] == bytes([0x12, 0x34, 0xAB, 0xCD])
    assert station.ok("info")["vendor_id"] == 0x1234


def test_mac_show_and_set_both_targets(station):
    station.ok("mac", "set", "02-00-00-00-00-07")
    station.ok("mac", "set", "02:AA:BB:CC:DD:EE", "--runtime")
    m = station.ok("mac", "show")
    assert m == {"command": "mac show", "ok": True, "eeprom": "02:00:00:00:00:07",
                 "runtime": "02:AA:BB:CC:DD:EE", "permanent": FACTORY_MAC}
    assert station.eeprom()[14:20] == bytes([2, 0, 0, 0, 0, 7])


def test_registers_by_block_with_width_bank_selector(station):
    station.ok("reg", "write", "mac", "0x40=0x1234", "--width", "2")
    station.ok("reg", "write", "bb", "5=7", "--bank", "1")
    station.ok("reg", "write", "rf", "0x10=0xCAFE", "--selector", "3")
    # Each value is kept by the adapter between invocations.
    r = station.ok("reg", "read", "mac", "0x40", "--width", "2")
    assert r["registers"] == [{"block": "mac", "address": 0x40, "value": 0x1234, "width": 2}]
    assert station.ok("reg", "read", "bb", "5", "--bank", "1")["registers"][0]["value"] == 7
    assert station.ok("reg", "read", "bb", "5")["registers"][0]["value"] == 0  # bank 0
    rf = station.ok("reg", "read", "rf", "0x10", "0x11")["registers"]
    assert [x["value"] for x in rf] == [0xCAFE, 0]


def test_radio_set_applies_in_documented_order(station):
    r = station.ok("radio", "set", "power=12", "rate=108", "channel=6")
    assert [(a["setting"], a["operation"], a["result"]) for a in r["applied"]] == [
        ("channel", "SetChannelDirectCall", 1),
        ("rate", "SetDataRate", 1),
        ("power", "SetTxPowerControl", 1),
    ]
    settings = {s["oid"]: s["first"] for s in station.sim()["settings"]}
    assert settings[0xFF4D1008] == 6 and settings[0xFF4D1001] == 108 and settings[0xFF4D1011] == 12


def test_test_mode_and_counters(station):
    assert station.ok("test", "start")["operation"] == "StartTest"
    assert station.sim()["test_mode"] is True
    station.ok("test", "stop")
    assert station.sim()["test_mode"] is False
    assert station.ok("test", "reset")["operation"] == "ResetDUT"
    c = station.ok("counters", "--reset")
    assert set(c) >= {"tx_sent", "rx_received", "rx_crc_errors", "ack"} and c["reset"] is True


# The simulated sender's frames arrive with CRC errors among them; with --expected, a frame that
# never arrived counts as an error too.
@pytest.mark.parametrize("expected", [1, 1000000])
def test_rx_counts_missing_frames_into_the_error_rate(station, expected):
    r = station.ok("rx", "--duration", "200ms", "--interval", "100ms", "--expected", expected)
    missing = max(0, expected - r["frames"])
    assert (r["expected"], r["missing"]) == (expected, missing)
    assert abs(r["per"] - (r["crc_errors"] + missing) / max(expected, r["frames"])) < 1e-12


def test_rx_reports_frames_errors_and_rate(station):
    r = station.ok("rx", "--duration", "600ms", "--interval", "200ms")
    assert r["frames"] > 0 and r["crc_errors"] > 0
    assert abs(r["per"] - r["crc_errors"] / r["frames"]) < 1e-9
    assert len(r["samples"]) >= 3
    assert r["samples"][-1]["frames"] == r["frames"]
    assert [s["frames"] for s in r["samples"]] == sorted(s["frames"] for s in r["samples"])
    assert r["interrupted"] is False
    # The receive test is off again afterwards.
    settings = {s["oid"]: s["first"] for s in station.sim()["settings"]}
    assert settings[0xFF4D1030] == 0


def test_tx_single_and_modes(station):
    r = station.ok("tx", "single", "--count", "2")
    assert (r["requested"], r["sent"]) == (2, 2)
    assert station.sim()["transmitter"]["frames_sent"] == 2
    for mode, oid in [("continuous", 0xFF4D100B), ("carrier", 0xFF4D100C),
                      ("suppression", 0xFF4D102B)]:
        t = station.ok("tx", mode, "--duration", "200ms")
        assert t["stopped"] is True and t["elapsed_ms"] >= 200
        settings = {s["oid"]: s["first"] for s in station.sim()["settings"]}
        assert settings[oid] == 0, mode
    f = station.ok("tx", "frames", "--duration", "300ms")
    assert f["operation"] == "PKT32OFDMContinuousTx"
    assert f["frames_sent"] == station.sim()["transmitter"]["frames_sent"] > 0


def test_recipe_runs_in_one_process_and_stops_at_failure(station):
    (station.folder / "ok.recipe").write_text(
        "# station recipe\n\ntest start\nradio set channel=11 rate=22  # 11 Mbit/s\n"
        "eeprom set 0x90 0x5A\ntest stop\n")
    r = station.run("run", "ok.recipe")
    assert r.rc == 0
    assert [x["command"] for x in r.lines] == ["test start", "radio set", "eeprom set",
                                               "test stop", "run"]
    assert r.last["run"] == 4 and r.last["failed"] == 0
    assert station.eeprom()[0x90] == 0x5A

    (station.folder / "fail.recipe").write_text(
        "eeprom set 0x91 1\nmac set 02:00:00:00:00:01 --runtime\neeprom set 0x92 2\n")
    env = {"TALVENCTL_TEST_SIM_FAULT": "mac-write"}
    r = station.run("run", "fail.recipe", env=env)
    assert r.rc == 1
    assert [x["ok"] for x in r.lines[:2]] == [True, False]
    assert r.lines[1]["error"]["operation"] == "WriteMACAddress"
    assert r.last["command"] == "run" and r.last["run"] == 2
    assert station.eeprom()[0x92] == 0xFF  # not reached
    r = station.run("run", "fail.recipe", "--keep-going", env=env)
    assert r.rc == 1 and r.last["run"] == 3 and r.last["failed"] == 1
    assert station.eeprom()[0x92] == 2


def test_recipe_with_a_bad_line_runs_nothing(station):
    # Every line is parsed before the first one runs.
    (station.folder / "typo.recipe").write_text("eeprom set 0x93 7\neeprom sett 1 2\n")
    r = station.run("run", "typo.recipe")
    assert r.rc == 2 and "line 2" in r.last["error"]["message"]
    assert station.eeprom()[0x93] == 0xFF


def test_a_binary_dump_is_not_written_to_a_terminal(station):
    import os
    import pty
    import subprocess
    from conftest import BINARY
    master, slave = pty.openpty()
    try:
        p = subprocess.run([BINARY, "--sim-state", str(station.state), "eeprom", "dump",
                            "--format", "bin"], cwd=station.folder, stdout=slave,
                           stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(slave)
        os.close(master)
    assert p.returncode == 2 and b"not written to a terminal" in p.stderr
