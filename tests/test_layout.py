"""The house's size rules, checked over the repository as it stands: a module
that grows past what one person holds in mind should be split into a room of
its own before it lands, and python-module/ keeps its sources in folders."""

from __future__ import annotations

from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "python" / "quarrow_dax"
MAX_MODULE_LINES = 800
MAX_NATIVE_ROOT_SOURCES = 6


def test_no_module_of_the_package_is_over_the_limit() -> None:
    too_long = {
        str(path.relative_to(PACKAGE)): count
        for path in sorted(PACKAGE.rglob("*.py"))
        if (count := len(path.read_text(encoding="utf-8").splitlines())) > MAX_MODULE_LINES
    }
    assert not too_long, f"modules over {MAX_MODULE_LINES} lines: {too_long}"


def test_python_module_root_holds_only_shared_sources() -> None:
    sources = [p.name for p in (ROOT / "python-module").iterdir() if p.suffix in {".cpp", ".hpp", ".h", ".map"}]
    assert len(sources) <= MAX_NATIVE_ROOT_SOURCES, sources


@pytest.mark.parametrize("folder", ["native", "syntax", "formatter"])
def test_each_native_folder_is_listed_in_the_build(folder: str) -> None:
    cmake = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    unlisted = [
        p.name for p in sorted((ROOT / "python-module" / folder).glob("*.cpp"))
        if f"{folder}/{p.name}" not in cmake
    ]
    assert not unlisted, f"sources the build never compiles: {unlisted}"
