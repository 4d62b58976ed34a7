"""The talven package from this source tree, against the library that TALVEN_LIBRARY names
(ctest sets it to the build's libtalven.so)."""
import ctypes
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import talven  # noqa: E402


@pytest.fixture(scope="session")
def sim():
    """The fault interface of libtalven.so (talven_sim.h), in the same library."""
    if not os.environ.get("TALVEN_LIBRARY"):
        pytest.fail("TALVEN_LIBRARY must name libtalven.so")
    lib = talven.raw.library().dll
    lib.talven_sim_fail_oid.argtypes = [ctypes.c_uint, ctypes.c_int, ctypes.c_int]
    lib.talven_sim_request_count.restype = ctypes.c_uint
    lib.talven_sim_request_count.argtypes = [ctypes.c_uint]
    yield lib
    lib.talven_sim_clear_faults()


@pytest.fixture
def dut(sim):
    talven.start_packet_driver()
    with talven.open_adapter() as adapter:
        yield adapter
    sim.talven_sim_clear_faults()
