"""docs/station-guide.md: the station session written three ways (talvenctl recipe, Python, C#)
runs as written against the simulated adapter, with 0.2 s of frames instead of 10 s."""
import os
import re
import subprocess

import pytest

from conftest import SOURCE, read


def blocks():
    text = read("docs", "station-guide.md")
    section = text[text.index("## One station session, three ways"):]
    section = section[:section.index("\n## ", 1)]
    found = dict(re.findall(r"```(text|python|csharp)\n(.*?)```", section, re.S))
    assert sorted(found) == ["csharp", "python", "text"]
    return found


def reports_frames_sent(output, pattern):
    """The session printed its frame count (how many a 0.2 s burst gets out depends on the
    machine's load, so the number itself is not checked)."""
    return bool(re.search(pattern, output))


@pytest.fixture
def env():
    library = os.environ.get("TALVEN_LIBRARY")
    if not library:
        pytest.fail("TALVEN_LIBRARY must name libtalven.so")
    return dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(library),
                PYTHONPATH=os.path.join(SOURCE, "bindings", "python"))


def test_recipe(tmp_path, env):
    recipe = tmp_path / "line3.recipe"
    recipe.write_text(blocks()["text"].replace("--duration 10s", "--duration 200ms"))
    tool = os.path.join(os.environ["TALVEN_BUILD_DIR"], "talvenctl", "talvenctl")
    run = subprocess.run([tool, "--sim-state", str(tmp_path / "adapter.json"), "run", str(recipe)],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert reports_frames_sent(run.stdout, r"tx sent \d+")
    assert "8 of 8 command(s) run, 0 failed" in run.stdout


def test_python(tmp_path, env):
    script = tmp_path / "line3.py"
    script.write_text(blocks()["python"].replace("time.sleep(10)", "time.sleep(0.2)"))
    run = subprocess.run(["/usr/bin/python3", str(script)], env=env, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert reports_frames_sent(run.stdout, r"frames sent: \d+")
    assert "channel 1: (9, 10)" in run.stdout and "channel 161: 75" in run.stdout


def test_csharp(tmp_path, env):
    program = tmp_path / "line3.cs"
    program.write_text(blocks()["csharp"].replace("TimeSpan.FromSeconds(10)",
                                                  "TimeSpan.FromMilliseconds(200)"))
    dotnet = os.path.join(SOURCE, "bindings", "dotnet")
    exe = tmp_path / "line3.exe"
    subprocess.run(["mcs", "-langversion:5", "-warnaserror+", "-nologo", f"-out:{exe}",
                    os.path.join(dotnet, "Talven.cs"), os.path.join(dotnet, "Adapter.cs"),
                    os.path.join(dotnet, "AdapterOperations.cs"), str(program)], check=True)
    run = subprocess.run(["mono", str(exe)], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert reports_frames_sent(run.stdout, r"frames sent: \d+")
    assert "channel 1: 9/10" in run.stdout and "channel 161: 75" in run.stdout
