"""Shared by the binding checks: talven.h's prototypes read with a parser of their own, and
the operations list read through the generator."""
import os
import re
import sys

import pytest

SOURCE = os.environ.get("TALVEN_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "bindings"))

PROTOTYPE = re.compile(r"^(Adapter\*|Packet\*|ULONG|BOOLEAN) WINAPI (\w+)\(([^)]*)\);$", re.M)
PARAM = re.compile(r"^(const UCHAR\*|Adapter\*|Packet\*|[A-Z]+) (\w+)$")


def read(*parts):
    with open(os.path.join(SOURCE, *parts), encoding="utf-8", newline="") as f:
        return f.read()


def header_prototypes():
    """{name: (result type, [(C type, argument name)], the prototype line)} from talven.h."""
    found = {}
    for m in PROTOTYPE.finditer(read("include", "talven.h")):
        params = []
        for param in m.group(3).split(","):
            p = PARAM.match(param.strip())
            assert p, f"talven.h: {m.group(2)}: cannot read {param!r}"
            params.append((p.group(1), p.group(2)))
        found[m.group(2)] = (m.group(1), params, m.group(0))
    return found


@pytest.fixture(scope="session")
def prototypes():
    found = header_prototypes()
    assert len(found) == 83
    return found


@pytest.fixture(scope="session")
def operations():
    import generate
    return generate.read_operations()


@pytest.fixture(scope="session")
def export_names():
    """The 166 export names the module-definition generator writes (talven-exports.txt)."""
    build = os.environ.get("TALVEN_BUILD_DIR")
    if not build:
        pytest.fail("TALVEN_BUILD_DIR must name the Linux build folder")
    with open(os.path.join(build, "talven-exports.txt"), encoding="utf-8") as f:
        names = [line.split()[1] for line in f if line.strip()]
    assert len(names) == 166
    return names
