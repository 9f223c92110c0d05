"""Test helper: tabular models written as an admin scanner result (the JSON
of the WorkspaceInfo scan), one dataset per model, spread over a few
workspaces, with the parts of a real result the reader must step over
(reports, dashboards, M sources and expressions, data sources)."""

import json
from pathlib import Path

from quarrow_dax.model import load_model

#: The formulas a scan result carries; the others (calculation items, KPIs,
#: format-string and detail-rows definitions) it does not.
SCANNED_KINDS = frozenset({"measure", "calculated column", "calculated table", "row-level security filter",
                           "function"})

M_SOURCE = 'let\n    Source = Sql.Database("server", "db"),\n    Data = Source{[Name="T"]}[Data]\nin\n    Data'


def dataset_of(model, name, dataset_id):
    """One dataset of a scan result holding what `model` declares."""
    texts = {}
    for formula in model.formulas:
        texts.setdefault((formula.kind, (formula.table or "").casefold(), formula.name.casefold()), formula.text)

    def text(kind, table, object_name):
        return texts.get((kind, (table or "").casefold(), object_name.casefold()))

    tables = []
    for table in model.tables.values():
        calculated = table.calculated
        columns = []
        for column in table.columns.values():
            entry = {"name": column.name, "isHidden": False}
            if column.data_type:
                # As the scanner spells the model's words: "String", "DateTime".
                entry["dataType"] = column.data_type[:1].upper() + column.data_type[1:]
            expression = text("calculated column", table.name, column.name)
            if column.type == "calculated" and expression is not None:
                entry.update(columnType="Calculated", expression=expression)
            elif calculated:
                entry["columnType"] = "CalculatedTableColumn"
            else:
                entry["columnType"] = "Data"
            columns.append(entry)
        measures = []
        for measure in table.measures.values():
            entry = {"name": measure.name, "isHidden": False}
            expression = text("measure", table.name, measure.name)
            if expression is not None:
                entry["expression"] = expression
            measures.append(entry)
        source = text("calculated table", table.name, table.name) if calculated else M_SOURCE
        tables.append({"name": table.name, "isHidden": table.generated, "columns": columns, "measures": measures,
                       "source": [{"expression": source}] if source is not None else []})
    roles = []
    for role in model.roles.values():
        permissions = []
        for table in role.tables:
            entry = {"name": table}
            expression = text("row-level security filter", table, role.name)
            if expression is not None:
                entry["filterExpression"] = expression
            permissions.append(entry)
        roles.append({"name": role.name, "modelPermission": "Read", "members": [], "tablePermissions": permissions})
    dataset = {
        "id": dataset_id, "name": name, "configuredBy": "someone@example.com", "isRefreshable": True,
        "tables": tables, "roles": roles,
        "expressions": [{"name": "Server", "expression": '"server" meta [IsParameterQuery=true]'}],
        "upstreamDatasets": [], "datasourceUsages": [{"datasourceInstanceId": "00000000-0000-0000-0000-000000000001"}],
    }
    if model.functions:
        dataset["functions"] = [{"name": function.name, "expression": text("function", None, function.name)}
                                for function in model.functions.values()]
    return dataset


def scan_result(models, workspaces=3):
    """A scan result of the models (a list of (dataset name, model path)),
    dealt round-robin into `workspaces` workspaces."""
    spaces = [{"id": f"00000000-0000-0000-0000-{index:012d}", "name": f"Workspace {index}", "type": "Workspace",
               "state": "Active", "isOnDedicatedCapacity": False,
               "reports": [{"id": "r", "name": "Report", "datasetId": "d"}], "dashboards": [], "datasets": [],
               "dataflows": []} for index in range(workspaces)]
    for position, (name, path) in enumerate(models):
        model = load_model(path)
        dataset_id = f"10000000-0000-0000-0000-{position:012d}"
        spaces[position % workspaces]["datasets"].append(dataset_of(model, name, dataset_id))
    return {"workspaces": spaces, "datasourceInstances": [{"datasourceType": "Sql", "connectionDetails": {}}]}


def shared_models(root):
    """(name, path) of every model under ../shared/models."""
    return [(f"{path.parent.name}/{path.name}", path)
            for path in sorted(Path(root).glob("*/*")) if path.is_dir()]


def write_scan_result(path, models, workspaces=3, indent=None):
    Path(path).write_text(json.dumps(scan_result(models, workspaces), indent=indent, ensure_ascii=False),
                          encoding="utf-8")
    return path
