"""quarrow_dax.spark on a local Spark (local[2], the test session's, see conftest):
a small DataFrame of corpus texts, split into many Arrow batches over two
partitions, must give row for row what the batch API gives."""

from pathlib import Path

import pytest
from conftest import SPARK_REQUIRED, spark_missing

if spark_missing() is not None and not SPARK_REQUIRED:
    pytest.skip(spark_missing(), allow_module_level=True)

from quarrow_dax import batch  # noqa: E402
from quarrow_dax import spark as dax  # noqa: E402

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"

EDGE_TEXTS = ["SUM ( Sales[Amount] )", "1 +", None, "'Date'[Calendar].[Year]", "日本 + [売上] ]",
              "VAR a = 1 RETURN a + [m]", "IF ( [Sales] = BLANK (), 0, [Margin] / [Sales] )", ""]


@pytest.fixture(scope="module")
def texts():
    corpus = sorted((CORPUS / "expressions").glob("*.dax"))[:40] if CORPUS.is_dir() else []
    return [path.read_text(encoding="utf-8") for path in corpus] + EDGE_TEXTS


@pytest.fixture(scope="module")
def frame(spark, texts):
    rows = [(position, text) for position, text in enumerate(texts)]
    return spark.createDataFrame(rows, "id long, expression string").repartition(2)


def by_id(rows, columns):
    return sorted(((row["id"], *(row[name] for name in columns)) for row in rows), key=repr)


def test_check_adds_the_batch_columns_to_every_row(frame, texts):
    columns = batch.CHECK_COLUMNS[1:]
    result = dax.check(frame, "expression")
    assert result.columns == ["id", "expression", *columns]
    expected = [{"id": row["index"], **row} for row in batch.check(texts).to_pylist()]
    assert by_id(result.collect(), columns) == by_id(expected, columns)


def test_references_and_lint_give_a_row_per_result_and_keep_the_rest(frame, texts):
    for function, columns in ((dax.references, batch.REFERENCE_COLUMNS[1:]), (dax.lint, batch.LINT_COLUMNS[1:])):
        result = function(frame, "expression", prefix="dax_")
        assert result.columns == ["id", "expression", *(f"dax_{name}" for name in columns)]
        got = [{"id": row["id"], **{name: row[f"dax_{name}"] for name in columns}} for row in result.collect()]
        table = getattr(batch, function.__name__)(texts)
        expected = [{"id": row["index"], **row} for row in table.to_pylist()]
        without = set(range(len(texts))) - {row["id"] for row in expected}
        expected += [{"id": position, **{name: None for name in columns}} for position in without]
        key = [name for name in columns if name != "levels"]
        assert by_id(got, key) == by_id(expected, key)
        if function is dax.references:
            levels = sorted(tuple(row["levels"] or ()) for row in got)
            assert levels == sorted(tuple(row.get("levels") or ()) for row in expected)


def test_refuses_what_it_cannot_do(frame, spark):
    with pytest.raises(ValueError, match="no column 'text'"):
        dax.check(frame, "text")
    with pytest.raises(TypeError, match="holds bigint, not strings"):
        dax.check(frame, "id")
    clashing = spark.createDataFrame([("1 +", "x")], "expression string, message string")
    with pytest.raises(ValueError, match=r"columns named \['message'\] already: give a prefix"):
        dax.check(clashing, "expression")
    assert dax.check(clashing, "expression", prefix="dax_").collect()[0]["dax_code"] == "E002"


def test_a_dataframe_with_columns_named_as_the_results_own(spark):
    # `index` names each result's text inside the batch API; a DataFrame may
    # have a column of that name, and a prefix keeps the added ones apart.
    frame = spark.createDataFrame([(7, "[a] + [b]"), (8, "1 +")], "index long, expression string")
    rows = dax.references(frame, "expression", prefix="ref_").collect()
    assert sorted((row["index"], row["ref_name"]) for row in rows) == [(7, "a"), (7, "b"), (8, None)]


def test_importing_the_module_leaves_pyspark_unloaded():
    # A notebook without Spark, or a driver importing quarrow_dax alone, pays nothing for it.
    import subprocess
    import sys

    code = "import sys, quarrow_dax.spark; print(sorted(m for m in sys.modules if m.split('.')[0] == 'pyspark'))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"
