"""eeprom load: size check, backup first, whole image or only the differing words, verify by
read-back, and on a write fault in the middle an exact report with the backup intact."""
import json
import os
import time

import pytest


def target_image(station):
    image = bytearray(station.eeprom())
    image[0x60:0x64] = b"\x11\x22\x33\x44"  # words 0x60 and 0x62
    image[0xA1] = 0x77  # word 0xA0
    return bytes(image)


def test_load_backs_up_writes_and_verifies(station):
    factory = station.eeprom()
    (station.folder / "new.bin").write_bytes(target_image(station))
    r = station.run("eeprom", "load", "new.bin")
    assert r.rc == 0, r.err
    j = r.last
    assert j["verified"] is True and j["mode"] == "all"
    assert j["words_differing_before"] == 3 and j["words_written"] == 128
    backup = station.folder / j["backup"]
    assert backup.name.startswith("eeprom-backup-") and backup.read_bytes() == factory
    assert station.eeprom() == target_image_from(factory)


def target_image_from(factory):
    image = bytearray(factory)
    image[0x60:0x64] = b"\x11\x22\x33\x44"
    image[0xA1] = 0x77
    return bytes(image)


def test_load_accepts_its_own_dumps(station):
    station.ok("eeprom", "set", "0x70", "0x42")
    station.ok("eeprom", "dump", "--format", "json", "--file", "a.json")
    station.run("eeprom", "dump", "--file", "a.hex")
    station.ok("eeprom", "set", "0x70", "0x00")
    station.ok("eeprom", "load", "a.json", "--no-backup")
    assert station.eeprom()[0x70] == 0x42
    station.ok("eeprom", "set", "0x70", "0x00")
    r = station.ok("eeprom", "load", "a.hex", "--backup-dir", ".")
    assert station.eeprom()[0x70] == 0x42 and r["backup"].startswith("./eeprom-backup-")


def test_no_backup_makes_none(station):
    (station.folder / "new.bin").write_bytes(target_image(station))
    r = station.ok("eeprom", "load", "new.bin", "--no-backup")
    assert r["backup"] is None
    assert not list(station.folder.glob("eeprom-backup-*"))


def test_changed_only_touches_only_the_differing_words(station):
    (station.folder / "new.bin").write_bytes(target_image(station))
    # A word that does not differ cannot be written: a whole-image load fails there, a load
    # of the changed words never goes near it.
    env = {"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@0x30"}
    assert station.run("eeprom", "load", "new.bin", env=env).rc == 1
    r = station.run("eeprom", "load", "new.bin", "--changed-only", env=env)
    assert r.rc == 0, r.err
    assert r.last["mode"] == "changed" and r.last["words_written"] == 3


def test_write_fault_in_the_middle_reports_each_word_and_keeps_the_backup(station):
    factory = station.eeprom()
    image = bytearray(b"\x5A" * 256)
    (station.folder / "all5a.bin").write_bytes(bytes(image))
    # The word at 0x40 fails: the words before it hold the image, it and all after it the
    # old contents.
    env = {"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@0x40"}
    r = station.run("eeprom", "load", "all5a.bin", "--with-identity", env=env)
    assert r.rc == 1
    j = r.last
    assert j["ok"] is False and j["error"]["operation"] == "WriteEEprom"
    assert j["error"]["result"] == 0 and j["verified"] is False
    offsets = [m["offset"] for m in j["mismatches"]]
    differing_after = [o for o in range(0x40, 256, 2) if factory[o:o + 2] != b"\x5A\x5A"]
    assert offsets == differing_after and offsets[0] == 0x40
    first = j["mismatches"][0]
    assert first == {"offset": 0x40, "image": 0x5A5A, "backup": first["backup"],
                     "holds": factory[0x40] | factory[0x41] << 8}
    assert first["backup"] == first["holds"]
    after = station.eeprom()
    assert after[:0x40] == bytes(image[:0x40]) and after[0x40:] == factory[0x40:]
    assert (station.folder / j["backup"]).read_bytes() == factory
    assert "word 0x40 holds" in r.err and "backup kept: " in r.err


def test_changed_only_fault_stops_and_reports(station):
    (station.folder / "new.bin").write_bytes(target_image(station))
    env = {"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@0x62"}
    r = station.run("eeprom", "load", "new.bin", "--changed-only", env=env)
    assert r.rc == 1
    j = r.last
    assert j["error"]["operation"] == "WriteEEpromByte"
    # 0x60 was written, 0x62 failed, 0xA0 was not attempted.
    assert [m["offset"] for m in j["mismatches"]] == [0x62, 0xA0]
    assert station.eeprom()[0x60:0x62] == b"\x11\x22"


def test_unreadable_words_after_a_failed_write_are_named(station):
    (station.folder / "new.bin").write_bytes(target_image(station))
    env = {"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@0x60,eeprom-read@0x60/load-after-write"}
    r = station.run("eeprom", "load", "new.bin", "--no-backup", env=env)
    assert r.rc == 1
    lost = [m for m in r.last["mismatches"] if m["holds"] is None]
    assert [m["offset"] for m in lost] == [0x60]
    assert "(unreadable)" in r.err and "no backup was made" in r.err


@pytest.mark.parametrize("folder,phrase", [("afile/sub", "no backup, nothing written"),
                                           ("afile", "is not a folder")])
def test_backup_failure_writes_nothing(station, folder, phrase):
    before = station.eeprom()
    (station.folder / "afile").write_text("a file, not a folder")
    (station.folder / "new.bin").write_bytes(target_image(station))
    r = station.run("eeprom", "load", "new.bin", "--backup-dir", folder)
    assert r.rc == 2 and phrase in r.err
    assert station.eeprom() == before


def test_a_128_byte_eeprom_takes_128_byte_images(station):
    state = station.sim()
    state["eeprom_type"] = 1
    state["eeprom"] = state["eeprom"][:256]
    station.state.write_text(json.dumps(state))
    (station.folder / "small.bin").write_bytes(bytes(range(128)))
    assert station.ok("eeprom", "load", "small.bin", "--with-identity")["verified"] is True
    assert station.eeprom() == bytes(range(128))
    assert station.run("eeprom", "get", "128").rc == 2
    (station.folder / "big.bin").write_bytes(bytes(256))
    assert station.run("eeprom", "load", "big.bin").rc == 2


def image_with_mac(station, mac):
    image = bytearray(target_image(station))
    image[14:20] = mac
    return bytes(image)


# An image dumped from one board carries its MAC address: the next board keeps its own unless
# --with-identity asks for the image's.
@pytest.mark.parametrize("flags,keeps", [([], True), (["--with-identity"], False)])
@pytest.mark.parametrize("changed_only", [[], ["--changed-only"]], ids=["all", "changed"])
def test_load_keeps_the_boards_mac_unless_asked(station, flags, keeps, changed_only):
    board = station.eeprom()[14:20]
    golden = image_with_mac(station, bytes.fromhex("025BA7000042"))
    (station.folder / "golden.bin").write_bytes(golden)
    r = station.ok("eeprom", "load", "golden.bin", *flags, *changed_only)
    after = station.eeprom()
    assert after[14:20] == (board if keeps else golden[14:20])
    assert after[:14] + after[20:] == golden[:14] + golden[20:]
    assert r["identity"] == ("kept" if keeps else "image") and r["verified"] is True


def test_backup_folder_is_created_and_names_are_taken_exclusively(station):
    factory = station.eeprom()
    (station.folder / "new.bin").write_bytes(target_image(station))
    # Names the backup could take in the next minute, each a link to a file it must not write.
    backups = station.folder / "nested" / "backups"
    backups.mkdir(parents=True)
    now = time.time()
    for t in range(int(now) - 2, int(now) + 60):
        stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(t))
        os.symlink(station.folder / "victim", backups / f"eeprom-backup-{stamp}.bin")
    r = station.ok("eeprom", "load", "new.bin", "--backup-dir", "nested/backups")
    backup = station.folder / r["backup"]
    assert backup.name.endswith("-2.bin") and not backup.is_symlink()
    assert backup.read_bytes() == factory
    assert not (station.folder / "victim").exists()
    r = station.ok("eeprom", "load", "new.bin", "--backup-dir", "made/on/demand")
    assert (station.folder / r["backup"]).is_file()


def test_backup_and_its_folder_reach_the_disk_before_the_write(station):
    (station.folder / "new.bin").write_bytes(target_image(station))
    (station.folder / "bk").mkdir()
    trace = station.folder / "trace"
    # (LeakSanitizer cannot run under ptrace: the sanitizer build leaves it out here.)
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    r = station.run("eeprom", "load", "new.bin", "--backup-dir", "bk",
                    wrapper=["strace", "-f", "-qq", "-e", "trace=openat,fsync",
                             "-o", str(trace)], env={"ASAN_OPTIONS": asan})
    assert r.rc == 0, r.err
    calls = trace.read_text().splitlines()
    opened = {}
    synced = []
    for c in calls:
        if "openat(" in c and "= " in c and not c.rstrip().endswith("= -1"):
            fd = c.rsplit("= ", 1)[1].split()[0]
            opened[fd] = c
        if "fsync(" in c:
            fd = c.split("fsync(", 1)[1].split(")")[0]
            synced.append(opened.get(fd, ""))
    backup_sync = [i for i, o in enumerate(synced) if "eeprom-backup-" in o]
    folder_sync = [i for i, o in enumerate(synced) if '"bk"' in o and "O_DIRECTORY" in o]
    assert backup_sync and folder_sync and folder_sync[0] > backup_sync[0], synced


# A load whose write fails names the word that failed; one whose failed word already held the
# image's value says so instead of listing nothing.
@pytest.mark.parametrize("mode,fault,phrase", [
    (["--changed-only"], "eeprom-write@0x62", "word 0x62 holds"),
    ([], "eeprom-write@0xF0", "every word holds what the image wants"),
])
def test_a_failed_load_names_its_words(station, mode, fault, phrase):
    (station.folder / "new.bin").write_bytes(target_image(station))
    r = station.run("eeprom", "load", "new.bin", *mode, env={"TALVENCTL_TEST_SIM_FAULT": fault})
    assert r.rc == 1 and phrase in r.err
    assert "0 word(s) differ" not in r.err
    if mode:
        assert r.last["failed_word"] == 0x62 and "(its write failed)" in r.err
