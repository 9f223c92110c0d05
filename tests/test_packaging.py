"""What makes the wheel install and run without a compiler on every CPython
from 3.11 on, checked on the modules installed here (tools/check_wheel.sh
builds the wheel itself and installs it in a fresh environment, which takes
minutes): modules built against the stable ABI, needing no libpython,
exporting their PyInit_ function alone; the commands cibuildwheel tests a
wheel with; a build that configures with clang as with gcc."""

import importlib
import re
import shlex
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
import yaml

ROOT = Path(__file__).resolve().parents[1]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
MODULES = ("_native", "_syntax")


@pytest.mark.parametrize("name", MODULES)
def test_each_module_is_built_for_the_stable_abi_and_exports_only_its_entry(name):
    path = Path(importlib.import_module(f"quarrow_dax.{name}").__file__)
    if sys.platform == "win32":
        assert path.name == f"{name}.pyd"
        return
    assert path.name == f"{name}.abi3.so", "built against the full API: the wheel would serve one Python version"
    if not sys.platform.startswith("linux") or shutil.which("nm") is None or shutil.which("readelf") is None:
        pytest.skip("ELF tools (nm, readelf) not found")
    needed = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    assert "libpython" not in needed
    symbols = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    exported = sorted(line.split()[2] for line in symbols if len(line.split()) == 3 and line.split()[1] != "A")
    assert exported == [f"PyInit_{name}"]


def test_cibuildwheel_builds_for_the_python_the_wheel_is_tagged_with():
    py_api = PYPROJECT["tool"]["scikit-build"]["wheel"]["py-api"]
    builds = PYPROJECT["tool"]["cibuildwheel"]["build"]
    # The oldest Python built for must be the one the abi3 tag names: a
    # wheel built on a newer one could use what 3.11 lacks.
    assert min(builds, key=lambda pattern: int(re.match(r"cp3(\d+)", pattern).group(1))).startswith(f"{py_api}-")
    assert PYPROJECT["project"]["requires-python"] == f">={py_api[2]}.{py_api[3:]}"
    workflow = yaml.safe_load((ROOT / ".github" / "workflows" / "wheels.yml").read_text(encoding="utf-8"))
    systems = workflow["jobs"]["wheels"]["strategy"]["matrix"]["os"]
    for family in ("ubuntu", "macos", "windows"):
        assert any(system.startswith(family) for system in systems), family
    steps = workflow["jobs"]["wheels"]["steps"]
    assert any(step.get("uses", "").startswith("pypa/cibuildwheel@") for step in steps)
    assert any(step.get("uses", "").startswith("actions/checkout@") for step in steps)


def test_the_commands_cibuildwheel_tests_a_wheel_with_pass_here():
    commands = PYPROJECT["tool"]["cibuildwheel"]["test-command"]
    assert commands
    scripts = Path(sys.executable).parent
    for command in commands:
        words = shlex.split(command.replace("{project}", str(ROOT)))
        if words[0] == "python":
            words[0] = sys.executable
        elif (scripts / words[0]).exists():
            words[0] = str(scripts / words[0])
        done = subprocess.run(words, capture_output=True, text=True, cwd=ROOT)
        assert done.returncode == 0, (command, done.stdout[-2000:], done.stderr[-2000:])


def _cmake_for_the_modules():
    cmake = shutil.which("cmake")
    if cmake is None:
        return None
    version = subprocess.run([cmake, "--version"], capture_output=True, text=True).stdout
    found = re.search(r"(\d+)\.(\d+)", version)
    return cmake if found and (int(found.group(1)), int(found.group(2))) >= (3, 26) else None


@pytest.mark.skipif(shutil.which("clang++") is None, reason="clang++ not found")
@pytest.mark.skipif(_cmake_for_the_modules() is None, reason="the extension modules need CMake 3.26 or newer")
def test_the_modules_configure_with_clang(tmp_path):
    done = subprocess.run(
        [_cmake_for_the_modules(), "-S", str(ROOT), "-B", str(tmp_path), "-DDAX_BUILD_PYTHON=ON",
         "-DCMAKE_CXX_COMPILER=clang++", f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True, text=True,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    cache = (tmp_path / "CMakeCache.txt").read_text(encoding="utf-8")
    assert re.search(r"CMAKE_CXX_COMPILER:\w+=.*clang\+\+", cache)
    # The ELF linkers' version script is what keeps the library's symbols
    # out of the modules; clang's driver takes it as gcc's does.
    commands = "\n".join(path.read_text(encoding="utf-8", errors="replace")
                         for pattern in ("link.txt", "build.ninja") for path in tmp_path.rglob(pattern))
    assert "--version-script=" in commands
