"""The tools' fuzz script runs, and its checks fail when a promise breaks:
a copy that drops positions is caught, shrunk and saved for replay."""

import dataclasses
import json
import pathlib
import subprocess
import sys

import pytest

from quarrow_dax.syntax.copying import remade

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "fuzz" / "fuzz_tools.py"

sys.path.insert(0, str(SCRIPT.parent))
import fuzz_tools  # noqa: E402


def test_a_short_run_keeps_every_promise():
    run = subprocess.run([sys.executable, str(SCRIPT), "--seconds", "3"], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "every promise kept" in run.stdout


# Each fault, planted in the tools for a moment, must break a promise the script checks.
FAULTS = [
    ("a copy that drops positions", "quarrow_dax.syntax.nodes.Node", "__copy__", lambda self: dataclasses.replace(self)),
    ("a pickle that drops positions", "quarrow_dax.syntax.nodes.Node", "__reduce__",
     lambda self: (remade, (type(self), None, tuple(getattr(self, name) for name in self._fields)))),
]


@pytest.mark.parametrize("name, where, attribute, fault", FAULTS, ids=[fault[0] for fault in FAULTS])
def test_a_broken_promise_is_caught_and_saved(name, where, attribute, fault, monkeypatch, tmp_path, capsys):
    module_name, class_name = where.rsplit(".", 1)
    cls = getattr(__import__(module_name, fromlist=[class_name]), class_name)
    monkeypatch.setattr(cls, attribute, fault)
    monkeypatch.setattr(fuzz_tools, "ARTIFACTS", tmp_path)
    assert fuzz_tools.run(30) == 1
    (saved,) = tmp_path.glob("tools-*.json")
    assert json.loads(saved.read_text(encoding="utf-8"))["kind"] in ("text", "model")
    assert "lost a position" in capsys.readouterr().err


def test_a_formatter_that_writes_broken_dax_is_caught(monkeypatch):
    import quarrow_dax.formatter as formatter

    monkeypatch.setattr(fuzz_tools, "format_text", lambda text, kind, options: text + " )")
    assert isinstance(formatter.FormatOptions(), formatter.FormatOptions)
    with pytest.raises(fuzz_tools.Broken, match="the formatted text does not parse"):
        fuzz_tools.check_text_through_tools("SUM ( Sales[Amount] )")
