"""The package as a station gets it: docstrings that say what docs/reference.md says, and a
pip install from the repository that finds the library as documented."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import talven

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "bindings"))
import generate  # noqa: E402  (reads docs/reference.md)


def flat(text):
    return " ".join(text.replace("**", "").split())


def documented_methods():
    """(operation, method) for every operation the Adapter has a method of."""
    hand = {"OpenDUT": talven.Adapter.__init__, "CloseDUT": talven.Adapter.close,
            "StartPacketDriver": talven.start_packet_driver,
            "StopPacketDriver": talven.stop_packet_driver,
            "PacketGetAdapterNames": talven.adapter_names}
    for name in generate.read_reference():
        method = hand.get(name) or getattr(talven.Adapter, talven.snake_case(name), None)
        if method is not None:
            yield name, method


def test_docstrings_say_what_the_reference_says():
    reference = generate.read_reference()
    checked = 0
    for name, method in documented_methods():
        doc = flat(method.__doc__)
        for field, text in reference[name].items():
            assert flat(text) in doc, f"{name}: {field} differs from docs/reference.md"
        assert "Raises:" in doc and "TalvenError" in doc, name
        checked += 1
    # Every operation but the six on Packet records (frames: send_frame, receive_frame).
    assert checked == 77


def test_value_arguments_name_their_range():
    doc = talven.Adapter.write_reg_data.__doc__
    assert "width: int, -2147483648 to 2147483647 (LONG)" in doc
    assert "value: int, 0 to 4294967295 (ULONG)" in doc
    assert talven.Adapter.read_mac_address.__doc__.splitlines()[0] == "read_mac_address()"


@pytest.mark.skipif(os.name == "nt", reason="the Linux library")
def test_pip_installs_it_and_it_finds_the_library(tmp_path):
    library = os.environ["TALVEN_LIBRARY"]
    # A copy, so that the build leaves nothing in the repository.
    shutil.copytree(os.path.join(SOURCE, "bindings", "python"), tmp_path / "src",
                    ignore=shutil.ignore_patterns("tests", "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    # Debian's setuptools builds it: no package index is asked.
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation",
                    "--no-index", str(tmp_path / "src")], check=True)
    script = ("import talven; talven.start_packet_driver(); "
              "print(talven.__file__); print(talven.raw.library().path); "
              "print(talven.adapter_names()[0])")
    env = {k: v for k, v in os.environ.items() if k not in ("TALVEN_LIBRARY", "PYTHONPATH")}

    def run(**extra):
        return subprocess.run([str(venv / "bin" / "python"), "-c", script], cwd=tmp_path,
                              env={**env, **extra}, capture_output=True, text=True)

    # TALVEN_LIBRARY first; else the loader's search for the bare name.
    for extra, loaded in (({"TALVEN_LIBRARY": library}, library),
                          ({"LD_LIBRARY_PATH": os.path.dirname(library)}, "libtalven.so")):
        done = run(**extra)
        assert done.returncode == 0, done.stderr
        package, path, adapter = done.stdout.splitlines()
        assert "site-packages" in package and path == loaded
        assert adapter.startswith("\\Device\\NORVAKS_")
    # Nowhere to be found: the error says where it looked and what to set.
    done = run()
    assert done.returncode != 0
    assert re.search(r"cannot load libtalven\.so .*set TALVEN_LIBRARY", done.stderr)
