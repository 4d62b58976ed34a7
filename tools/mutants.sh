#!/usr/bin/env bash
# Mutation run: applies each single-point fault listed in tools/mutants.txt to a scratch copy of
# the library, one at a time, rebuilds the Linux tests, runs them, and reports which faults the
# tests kill. A fault that does not build is reported and left out of the kill rate. Not part
# of CI: a full run takes about half an hour on two cores.
#
#   bash tools/mutants.sh              every fault
#   bash tools/mutants.sh REGEX        only the faults whose name matches REGEX
#   bash tools/mutants.sh --list       the faults' names
#   bash tools/mutants.sh --check      check that every fault's original lines are found
#
# MUTANTS_DIR   scratch folder (default build/mutants; the sources are copied there)
# MUTANTS_JOBS  build and test jobs (default 2)
# A fault whose header ends in "compile" must be refused by the compiler (a static assertion):
# its failed build counts as killed; if it builds, the tests must kill it as any other.
# Exit status: 0 when every fault that builds is killed, 1 otherwise, 2 on a setup problem.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec python3 - "$@" <<'PYTHON'
import os
import re
import shutil
import subprocess
import sys
import time

root = os.getcwd()
scratch = os.path.abspath(os.environ.get("MUTANTS_DIR", "build/mutants"))
jobs = os.environ.get("MUTANTS_JOBS", "2")
source = os.path.join(scratch, "src")
build = os.path.join(scratch, "build")


def parse(path):
    """Blocks of '@ name file', then '- ' lines (the original) and '+ ' lines (the fault)."""
    faults, current = [], None
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if line.startswith("#") or not line.strip():
            continue
        if line.startswith("@ "):
            words = line[2:].split()
            if len(words) not in (2, 3) or (len(words) == 3 and words[2] != "compile"):
                sys.exit(f"{path}:{number}: not a fault header: {line!r}")
            name, file = words[:2]
            current = {"name": name, "file": file, "old": [], "new": [], "line": number,
                       "compile": len(words) == 3}
            faults.append(current)
        elif line.startswith("-") and current is not None:
            current["old"].append(line[2:])
        elif line.startswith("+") and current is not None:
            current["new"].append(line[2:])
        else:
            sys.exit(f"{path}:{number}: not a fault line: {line!r}")
    names = [f["name"] for f in faults]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        sys.exit(f"duplicate fault names: {sorted(duplicates)}")
    return faults


def locate(text, fault):
    """The one place the original lines stand (indentation free); its span and indentation."""
    pattern = r"\n".join(r"[ \t]*" + re.escape(line.strip()) for line in fault["old"])
    matches = list(re.finditer(pattern, text))
    if len(matches) != 1:
        return None, f"original found {len(matches)} times"
    match = matches[0]
    indent = re.match(r"[ \t]*", text[match.start():]).group(0)
    return (match.start(), match.end(), indent), None


def apply(fault):
    path = os.path.join(source, fault["file"])
    text = open(path, encoding="utf-8").read()
    where, problem = locate(text, fault)
    if problem:
        return None, problem
    start, end, indent = where
    replacement = "\n".join(indent + line.strip() for line in fault["new"])
    open(path, "w", encoding="utf-8").write(text[:start] + replacement + text[end:])
    return text, None


def run(command, timeout=None):
    try:
        done = subprocess.run(command, cwd=scratch, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=timeout)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired:
        return -1, "timed out"


def build_tests():
    return run(["cmake", "--build", build, "-j", jobs, "--target", "talven_tests"])


def test():
    # The library's tests only, the ones talven_tests holds (the Win32 subset's and the device
    # model's own tests do not run library code; the bindings tests rebuild libtalven.so and
    # check generated files; the example session and talvenctl are programs of their own, not
    # rebuilt here).
    return run(["ctest", "--test-dir", build, "--parallel", jobs, "--timeout", "60",
                "--stop-on-failure", "--no-tests=error", "-E",
                r"^SubsetTest\.|win32_subset_tests|device_model_tests|^DeviceModel|^bindings_|"
                r"^ExampleSession|^talvenctl"], timeout=1800)


def main():
    args = sys.argv[1:]
    faults = parse(os.path.join(root, "tools", "mutants.txt"))
    if args == ["--list"]:
        for f in faults:
            print(f"{f['name']:40} {f['file']}")
        return 0
    if args == ["--check"]:  # every original stands exactly once; nothing is built
        bad = 0
        for f in faults:
            _, problem = locate(open(os.path.join(root, f["file"]), encoding="utf-8").read(), f)
            if problem:
                bad += 1
                print(f"{f['name']}: {problem}")
        print(f"mutants: {len(faults)} faults, {bad} not found")
        return 1 if bad else 0
    if args:
        faults = [f for f in faults if re.search(args[0], f["name"])]

    # A copy of the tracked sources, as they stand in the work tree.
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=root, stdout=subprocess.PIPE,
                            check=True).stdout.decode().split("\0")
    shutil.rmtree(source, ignore_errors=True)
    for name in filter(None, listed):
        if not os.path.isfile(os.path.join(root, name)):
            continue
        os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
        shutil.copy2(os.path.join(root, name), os.path.join(source, name))
    code, out = run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
    if code != 0:
        print(out)
        return 2
    code, out = build_tests()
    if code != 0:
        print(out[-4000:])
        print("mutants: the unchanged sources do not build")
        return 2
    started = time.time()
    code, out = test()
    if code != 0:
        print(out[-4000:])
        print("mutants: the tests fail on the unchanged sources")
        return 2
    print(f"mutants: {len(faults)} faults; unchanged sources pass in {time.time() - started:.0f} s",
          flush=True)

    results = {"killed": [], "survived": [], "no build": [], "not found": []}
    for number, fault in enumerate(faults, 1):
        started = time.time()
        original, problem = apply(fault)
        if problem:
            results["not found"].append(fault)
            print(f"[{number:3}/{len(faults)}] NOT FOUND  {fault['name']}: {problem}", flush=True)
            continue
        try:
            code, out = build_tests()
            if code != 0:
                # A fault marked "compile" is one the build itself must refuse (a static
                # assertion that pins a layout): its failed build is its kill.
                verdict = "killed" if fault["compile"] else "no build"
            else:
                code, out = test()
                verdict = "survived" if code == 0 else "killed"
        finally:
            open(os.path.join(source, fault["file"]), "w", encoding="utf-8").write(original)
        results[verdict].append(fault)
        label = {"killed": "KILLED", "survived": "SURVIVED", "no build": "NO BUILD"}[verdict]
        print(f"[{number:3}/{len(faults)}] {label:10} {fault['name']} "
              f"({time.time() - started:.0f} s)", flush=True)
    build_tests()  # leave the scratch build matching the sources

    killed, survived = len(results["killed"]), len(results["survived"])
    built = killed + survived
    rate = 100.0 * killed / built if built else 0.0
    print(f"\nmutants: {killed} killed, {survived} survived, {len(results['no build'])} did not "
          f"build, {len(results['not found'])} not found; kill rate {rate:.1f}% of {built}")
    for fault in results["survived"]:
        print(f"  survived: {fault['name']} ({fault['file']}, tools/mutants.txt:{fault['line']})")
    for fault in results["not found"]:
        print(f"  not found: {fault['name']} ({fault['file']})")
    return 0 if survived == 0 and not results["not found"] else 1


sys.exit(main())
PYTHON
