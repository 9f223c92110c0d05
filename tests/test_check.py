"""What a new user ran into with `check` and the other commands, each as the
case that would have caught it: hints, paths that give nothing, project
files, encodings, --version, --indent on deep trees, --list; and the model
formats read as they allow."""

import io
import json
import pathlib
import subprocess
import sys

import pytest

from quarrow_dax.check import CheckOptions, check_file, check_files, check_text
from quarrow_dax.cli import printing
from quarrow_dax.diagnostics import writer_for
from quarrow_dax.model import read_model


def run_cli(*args, cwd, stdin=b""):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], input=stdin, capture_output=True, cwd=cwd,
                         timeout=60)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def make(root, files):
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))


DEFINITION = "the text begins with a definition, `{}`, in front of the expression"

HINTS = [
    # text, --as, the start of the hint (None: no hint)
    ("Total Sales = SUM ( Sales[Amount] )", None, DEFINITION.format("Total Sales =")),
    ("Total Sales := SUM ( Sales[Amount] )", None, DEFINITION.format("Total Sales :=")),
    ("'Sales'[Margin] := DIVIDE ( 1, 2 )", None, DEFINITION.format("'Sales'[Margin] :=")),
    ("[Margin %] := 1", None, DEFINITION.format("[Margin %] :=")),
    ("\nMargin :=\n  VAR x = 1\n  RETURN x", None, DEFINITION.format("Margin :=")),
    # the definition is not where the error is, and the rest fails too: no hint
    ("Total = SUM ( x ) )", None, None),
    ("SUM ( x ) )", None, None),
    # a query read as an expression, and the reverse
    ("EVALUATE T", "expr", "the text begins with DEFINE or EVALUATE, so it is a query"),
    ("SUM ( x )", "query", "a query begins with DEFINE or EVALUATE"),
]


@pytest.mark.parametrize("text, mode, hint", HINTS)
def test_hints(text, mode, hint):
    diagnostic = check_text("f.dax", text, CheckOptions(mode=mode))
    assert diagnostic is not None
    assert (diagnostic.hint or "")[: len(hint or "")] == (hint or "") and (hint is None) == (diagnostic.hint is None)


def test_a_project_file_is_its_model_and_its_reports(tmp_path):
    make(tmp_path, {
        "Sales.pbip": json.dumps({"artifacts": [{"report": {"path": "Sales.Report"}}]}),
        "Sales.Report/definition.pbir": json.dumps({"datasetReference": {"byPath": {"path": "../Model.SemanticModel"}}}),
        "Sales.Report/report.json": json.dumps({"sections": []}),
        "Model.SemanticModel/definition/model.tmdl": "model M\n",
        "Model.SemanticModel/definition/tables/T.tmdl": "table T\n\tmeasure m = 1 +\n",
        "Lone.pbip": "{}",
    })
    status, stdout, stderr = run_cli("check", "Sales.pbip", "Lone.pbip", cwd=tmp_path)
    # The model's formula is checked, the report read, and a project file naming nothing is a located problem:
    # all on standard output, the summaries on standard error.
    assert status == 2
    assert "\nModel.SemanticModel/definition/tables/T.tmdl:2:17: parse error" in stdout
    assert "checked 1 formula in 1 model: 1 with errors\n" in stderr
    assert "checked 1 report: 0 field references, 0 formulas: 0 with errors\n" in stderr
    assert 'Lone.pbip:1:1: report error: "artifacts" is not a list: the project names no report' in stdout


def test_version(tmp_path):
    status, stdout, _ = run_cli("--version", cwd=tmp_path)
    assert (status, stdout) == (0, f"quarrow-dax {__import__('quarrow_dax').__version__}\n")


ENCODINGS = [
    # bytes, options, the first line of the report
    (b"\xff\xfe" + "1 2 Ü".encode("utf-16-le"), [], "f.dax:1:3: parse error: expected end of input"),
    (b"\xfe\xff" + "1 2".encode("utf-16-be"), [], "f.dax:1:3: parse error: expected end of input"),
    ("'Zürich' 2".encode("cp1252"), ["--encoding", "cp1252"], "f.dax:1:10: parse error: expected end of input"),
    # a byte-order mark wins over --encoding
    (b"\xef\xbb\xbf" + "'Zürich' 2".encode(), ["--encoding", "cp1252"], "f.dax:1:10: parse error: expected end"),
]


@pytest.mark.parametrize("data, options, first", ENCODINGS)
def test_encodings(data, options, first, tmp_path):
    make(tmp_path, {"f.dax": data})
    status, stdout, stderr = run_cli("check", *options, "f.dax", cwd=tmp_path)
    assert (status, stderr) == (1, "checked 1 file: 1 with errors\n") and stdout.startswith(first)


def test_an_unknown_encoding_is_a_usage_error(tmp_path):
    status, _, stderr = run_cli("check", "--encoding", "klingon", "f.dax", cwd=tmp_path)
    assert status == 2 and "unknown encoding: 'klingon'" in stderr


def test_indent_refuses_an_output_past_the_limit(tmp_path):
    make(tmp_path, {"chain.dax": "1" + "+1" * 3000})
    status, stdout, stderr = run_cli("expr", "--indent", "2", "--max-output", "10M", "chain.dax", cwd=tmp_path)
    assert (status, stdout) == (2, "")
    assert stderr.startswith("quarrow-dax: chain.dax: the indented output would take ") and "--max-output" in stderr
    assert run_cli("expr", "--indent", "2", "--max-output", "0", "chain.dax", cwd=tmp_path)[0] == 0


def test_indented_size_is_exact_and_batches_are_bounded(monkeypatch):
    from quarrow_dax import parse_expression

    text = parse_expression("1" + "+1" * 1500)
    written = []
    monkeypatch.setattr(printing, "write_out", written.append)
    printing.write_json(text, 3)
    assert sum(map(len, written)) == printing.reindented_size(text, 3) + 1
    # before, 65,536 pieces went out at once whatever their size: here the whole 13 MB
    assert len(written) > 5 and max(map(len, written)) < 2 * printing._WRITE_BATCH


def test_list_is_in_file_order_and_names_how_a_file_is_read(tmp_path):
    bim = {"model": {"tables": [{"name": "T", "columns": [{"name": "C", "type": "calculated", "expression": "1"}],
                                 "measures": [{"name": "M", "expression": "2"}]}]}}
    make(tmp_path, {"m.bim": json.dumps(bim, indent=1), "q.dax": "-- q\nEVALUATE T", "e.dax": "1"})
    status, stdout, _ = run_cli("check", "--list", "q.dax", "e.dax", "m.bim", cwd=tmp_path)
    assert status == 0 and [line.split(": ")[1] for line in stdout.splitlines()[:4]] == [
        "query file", "expression file", "calculated column 'T'[C]", "measure 'T'[M]"]
    assert [f.name for f in read_model(tmp_path / "m.bim")] == ["C", "M"]


def test_help_of_the_package_documents_its_functions():
    import quarrow_dax

    for name in ("lex(input)", "parse_expression(input)", "parse_query(input)", "loads(text)"):
        assert name in quarrow_dax.__doc__


# --- models read as their formats allow ------------------------------------------

TMDL = "table T\n\tpartition T = calculated\n\t\tsource ={}\n"

MODELS = [
    # a .bim partition source without "type" is a query partition (the format's default)
    ({"m.bim": '{"model":{"tables":[{"name":"T","partitions":[{"name":"T","source":{"query":"SELECT 1",'
               '"dataSource":"DS"}}]}]}}'}, []),
    # a TMDL source body one level below `source =` (as the format's documentation writes it) and two
    ({"definition/model.tmdl": "model M\n", "definition/tables/T.tmdl": TMDL.format("\n\t\t\t{1}")},
     [("calculated table", "{1}", 4, 4)]),
    ({"definition/model.tmdl": "model M\n", "definition/tables/T.tmdl": TMDL.format("\n\t\t\t\t{1}\n\t\tmode: import")},
     [("calculated table", "{1}", 4, 5)]),
    ({"definition/model.tmdl": "model M\n",
      "definition/tables/T.tmdl": TMDL.format("\n\t\t\tVAR x = 1\n\t\t\tRETURN { x }\n\tmeasure m = 1")},
     [("calculated table", "VAR x = 1\nRETURN { x }", 4, 4), ("measure", "1", 6, 14)]),
]


@pytest.mark.parametrize("files, expected", MODELS)
def test_models_read_as_their_formats_allow(files, expected, tmp_path):
    make(tmp_path, files)
    formulas = list(read_model(tmp_path / ("m.bim" if "m.bim" in files else "definition")))
    assert [(f.kind, f.text, f.line, f.column) for f in formulas] == expected


def test_reading_many_lines_from_standard_input_stays_under_the_cap(tmp_path):
    status, stdout, _ = run_cli("check", "--max-file-size", "10", "-", stdin=b"1 + 2 + 3 + 4", cwd=tmp_path)
    assert status == 2 and "more than the limit of 10 bytes" in stdout


def test_text_output_of_a_model_warning_goes_to_standard_output_and_the_summary_to_standard_error(tmp_path):
    out, err = io.StringIO(), io.StringIO()
    writer = writer_for("text", out.write, err.write)
    from quarrow_dax.diagnostics import Diagnostic

    writer.add(Diagnostic.for_path("model", "duplicate key", "m.bim", 2, 3, severity="warning"))
    writer.finish("checked 1 formula in 1 model: 0 with errors\n")
    assert (out.getvalue(), err.getvalue()) == (
        "m.bim:2:3: model warning: duplicate key\n", "checked 1 formula in 1 model: 0 with errors\n")


CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus"


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"shared corpus not at {CORPUS}")
@pytest.mark.parametrize("jobs", [1, 2, 0])
def test_checking_many_files_keeps_their_order_whatever_the_processes(jobs):
    # Every 25th corpus file, a file that does not exist, and bytes already
    # read (as standard input is): each gets what check_file gives it, in order.
    paths = sorted(str(path) for path in CORPUS.glob("*/*.dax"))[::25]
    files = [(path, None) for path in paths]
    files += [("missing.dax", None), ("-", b"1 +"), ("-", b"SUM ( T[x] )"), ("-", b"x" * 10_001)]
    options = CheckOptions(max_file_size=10_000)
    expected = [check_file(path, options, data) for path, data in files]
    assert any(expected) and not all(expected)  # both kinds of result are compared
    assert list(check_files(files, options, jobs)) == expected


def test_closing_the_checks_early_stops_them():
    reports = check_files([(str(n), b"1 +") for n in range(100)], CheckOptions(), jobs=2)
    first = next(reports)
    reports.close()
    assert [d.message for d in first] == ["unexpected end of input"]
    with pytest.raises(StopIteration):
        next(reports)
