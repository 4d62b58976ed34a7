"""docs/reference.md: an entry for every exported operation, with the prototype of talven.h and
the declaration of talven.bas, and a worked example that compiles against talven.h."""
import os
import re
import subprocess

from conftest import SOURCE, read

ENTRY = re.compile(r"^### (\w+)\n\n```c\n(.*?)\n```\n(.*?)```vb\n(.*?)\n```", re.M | re.S)


def entries():
    text = read("docs", "reference.md")
    found = {}
    for m in ENTRY.finditer(text):
        assert m.group(1) not in found, f"{m.group(1)} has two entries"
        found[m.group(1)] = (m.group(2), m.group(3), m.group(4))
    return found


def test_every_export_has_an_entry(export_names):
    operations = {n.split("@")[0][1:] for n in export_names if n.startswith("_")}
    assert sorted(entries()) == sorted(operations)


def test_prototypes_are_the_headers(prototypes):
    for name, (prototype, _, _) in entries().items():
        assert " ".join(prototype.split()) == prototypes[name][2], name


def test_declarations_are_the_modules():
    declared = {}
    for line in read("bindings", "vb", "talven.bas").split("\r\n"):
        m = re.match(r"Public Declare Function VB_(\w+) ", line)
        if m:
            declared[m.group(1)] = line
    for name, (_, _, declaration) in entries().items():
        assert declaration == declared[name], name


def test_each_entry_says_what_the_outputs_and_the_driver_get():
    for name, (_, body, _) in entries().items():
        for label in ("Arguments", "Result", "Outputs", "Debug strings", "Driver"):
            assert f"- **{label}**: " in body, f"{name}: no {label}"


def test_worked_example_compiles(tmp_path):
    text = read("docs", "reference.md")
    example = re.search(r"## Worked example.*?```c\n(.*?)```", text, re.S).group(1)
    source = tmp_path / "example.c"
    source.write_text(example)
    subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                    "-I", os.path.join(SOURCE, "include"),
                    "-I", os.path.join(SOURCE, "win32_subset", "include"), str(source)],
                   check=True)
