"""Finding every field reference in a report's JSON: one iterative walk
over any part of a report file (a visual, a page, a bookmark, the JSON text a
PBIR-Legacy string holds), which knows at each step where in the report it
is and which `From` aliases are in scope there.

A reference is a query expression `{"Column" | "Measure": {"Expression":
{"SourceRef": ...}, "Property": name}}`, a `Hierarchy`, a `HierarchyLevel`
or a `PropertyVariationSource` (a column's automatic date hierarchy);
`SourceRef` names the table by `Entity`, or by `Source`, an alias of the
`From` list of the query or filter object it stands in (a TopN subquery has
its own). A formatting selector names fields by a "Table.Name" string
(`metadata`) or by scope comparisons, kept apart as "formatting selector".
Visual calculations (`NativeVisualCalculation`) are DAX of the report.
"""

from __future__ import annotations

import dataclasses
import re
from typing import Any

from ..diagnostics import Diagnostic
from ..model import Formula
from ._json import JsonProblem, JsonText, JsonArray, JsonObject, JsonString, is_string
from .objects import FieldUse, ReportFormula

__all__ = ["Context", "FieldCollector", "split_metadata"]

# Where a key leads, whatever the place (see `enter`).
_ALWAYS = {
    "bookmarks": "bookmark", "explorationState": "bookmark",
    "pageBinding": "drill-through binding", "pods": "drill-through binding",
    "queryFieldParametersByRole": "field parameter", "fieldParameters": "field parameter",
    "expansionStates": "visual state", "cachedFilterDisplayItems": "visual state",
}
_QUERY_KEYS = frozenset({"queryState", "prototypeQuery", "query", "dataTransforms"})
_OBJECT_KEYS = frozenset({"objects", "vcObjects", "visualContainerObjects"})
_SORT_KEYS = frozenset({"sortDefinition", "OrderBy", "orderBy"})
# Places that nothing inside them changes.
_STICKY = frozenset({
    "bookmark", "formatting selector", "report measure metadata", "visual state", "drill-through binding",
    "field parameter", "slicer selection",
})
# Keys that may change the place (see `Context.enter`), and keys of an
# object that make it matter.
_TRANSITIONS = frozenset(_ALWAYS) | _QUERY_KEYS | _OBJECT_KEYS | _SORT_KEYS | {
    "selector", "filterConfig", "filters", "filter"}
_SPECIAL = frozenset({
    "From", "selector", "queryRef", "field", "Name", "Column", "Measure", "HierarchyLevel", "Hierarchy",
    "PropertyVariationSource", "NativeVisualCalculation", "NativeMeasure", "metadata",
})
# Keys whose string value PBIR-Legacy fills with a JSON text.
_NESTED_KEYS = frozenset({"config", "filters", "query", "dataTransforms", "parameters"})
# A selector's metadata may wrap the field in its aggregation: "Min(Sales.Date)".
_AGGREGATED = re.compile(r"([A-Za-z]+)\((.*)\)", re.DOTALL)


def split_metadata(text: str) -> tuple[str, str] | None:
    """("Table", "Name") of a selector's "Table.Name" (or "Sum(Table.Name)")
    split at its first dot; None when it names no field."""
    match = _AGGREGATED.fullmatch(text)
    inner = match.group(2) if match else text
    table, dot, name = inner.partition(".")
    return (table, name) if dot and table and name else None


class Context:
    """Where the walk is: the JSON text, the place (`where`, None until a
    key decides it; `fallback` then), what a filter list is at this level,
    the page, visual and bookmark, and the alias scopes (innermost first,
    as a chain of (aliases, outer) pairs)."""

    __slots__ = ("text", "where", "fallback", "filters", "page", "visual", "bookmark", "scope", "selector",
                 "query_ref")

    def __init__(self, text: JsonText, *, where: str | None = None, fallback: str = "visual state",
                 filters: str = "visual filter", page: str | None = None, visual: str | None = None,
                 bookmark: str | None = None, scope: Any = None, selector: str | None = None,
                 query_ref: str | None = None) -> None:
        self.text = text
        self.where = where
        self.fallback = fallback
        self.filters = filters
        self.page = page
        self.visual = visual
        self.bookmark = bookmark
        self.scope = scope
        self.selector = selector
        self.query_ref = query_ref

    def but(self, **changes: Any) -> Context:
        copy = Context.__new__(Context)
        for name in Context.__slots__:
            setattr(copy, name, changes.get(name, getattr(self, name)))
        return copy

    def enter(self, key: str) -> Context:
        """The context of the value under `key`."""
        where = self.where
        if key == "selector" and where != "bookmark":
            new = "formatting selector"
        elif where in _STICKY:
            return self
        elif key in _ALWAYS:
            new = _ALWAYS[key]
        elif key in ("filterConfig", "filters"):
            new = self.filters
        elif key == "filter" and where == "conditional formatting":
            new = "slicer selection"
        elif key in _SORT_KEYS and where in (None, "visual projection"):
            new = "sort"
        elif where is None and key in _QUERY_KEYS:
            new = "visual projection"
        elif where is None and key in _OBJECT_KEYS:
            new = "conditional formatting"
        else:
            return self
        return self if new == where else self.but(where=new)


class FieldCollector:
    """Collects the field references, visual calculations and problems of
    the parts of one report it is given to walk."""

    def __init__(self, report: str) -> None:
        self.report = report
        self.uses: list[FieldUse] = []
        self.formulas: list[ReportFormula] = []
        self.problems: list[Diagnostic] = []
        # The names a visual's query gives its fields ("Sales.Margin",
        # "Sum(Sales.Qty)"), which selectors name them by: (page, visual) ->
        # name -> the field's use.
        self.query_refs: dict[tuple[str | None, str | None], dict[str, FieldUse]] = {}
        # Selector uses by index, with their metadata text, until `finish`.
        self.selectors: list[tuple[int, str]] = []

    def finish(self) -> None:
        """Selectors that name a field of their visual's query by its query
        name mean that field, whatever table the name once said."""
        for index, metadata in self.selectors:
            use = self.uses[index]
            named = self.query_refs.get((use.page, use.visual), {}).get(metadata)
            if named is not None:
                self.uses[index] = dataclasses.replace(
                    use, table=named.table, name=named.name, written="queryRef", level=named.level,
                    hierarchy=named.hierarchy, schema=named.schema,
                )
        self.selectors.clear()

    def problem(self, context: Context, places: Any, message: str, severity: str = "error") -> None:
        """A problem at the first of `places` (a value or a tuple of values,
        the innermost first) that the reader gave a place."""
        candidates = places if isinstance(places, tuple) else (places,)
        start = next((found.start for found in candidates if hasattr(found, "start")), None)
        self.problems.append(context.text.diagnostic(start, message, severity=severity,  # type: ignore[arg-type]
                                                     code="E007" if severity == "error" else "W003"))

    def json_problem(self, problem: JsonProblem, context: Context, what: str) -> None:
        self.problems.append(context.text.root.file_diagnostic(
            problem.offset, f"{what}: {problem.message}", severity=problem.severity,
            code="E007" if problem.severity == "error" else "W003",
        ))

    def walk(self, value: Any, context: Context) -> None:
        """Every reference in `value`, in document order. A container inside
        it that the reader left without places holds no reference (see
        `_json`), and is stepped over."""
        stack: list[tuple[Any, Context, str | None]] = [(value, context, None)]
        root = True
        while stack:
            node, context, key = stack.pop()
            kind = type(node)
            if kind is JsonObject or (root and isinstance(node, dict)):
                self.object(node, context, key, stack)
            elif kind is JsonArray or (root and isinstance(node, list)):
                for item in reversed(node):
                    stack.append((item, context, key))
            elif key in _NESTED_KEYS and is_string(node) and node.lstrip()[:1] in ("{", "["):
                inner = self.nested(node, context, key)
                if inner is not None:
                    stack.append(inner)
            root = False

    def nested(self, node: Any, context: Context, key: str) -> tuple[Any, Context, str | None] | None:
        """The JSON text a string holds, to walk in its place."""
        text = context.text.nested(node)
        problems: list[JsonProblem] = []
        try:
            value = text.parse(problems)
        except JsonProblem as fault:
            self.json_problem(fault, context, f'the "{key}" string is not a JSON text')
            return None
        for odd in problems:
            self.json_problem(odd, context, f'in the "{key}" string')
        return value, context.but(text=text), None

    def object(self, node: dict[str, Any], context: Context, key: str | None,
               stack: list[tuple[Any, Context, str | None]]) -> None:
        skip = None
        if node.keys() & _SPECIAL:
            context, skip = self.special(node, context, key)
        in_bookmark = context.where == "bookmark" and key in ("sections", "visualContainers")
        children = []
        for child_key, child in node.items():
            kind = type(child)
            if not (kind is JsonObject or kind is JsonArray or (kind is JsonString and child_key in _NESTED_KEYS)):
                continue  # a value without places holds no reference (see `walk`)
            if child_key == skip:
                continue
            child_context = context.enter(child_key) if child_key in _TRANSITIONS else context
            if in_bookmark and kind is JsonObject:
                # The keys of a bookmark's sections and visual containers are
                # the page's and visual's names.
                child_context = child_context.but(**{"page" if key == "sections" else "visual": child_key})
            children.append((child, child_context, child_key))
        stack.extend(reversed(children))

    def special(self, node: dict[str, Any], context: Context, key: str | None) -> tuple[Context, str | None]:
        """What an object with a key that matters says: aliases, a selector,
        a query name, a field reference, report DAX. Returns the context of
        its children and the key of the reference it is, if it is one."""
        sources = node.get("From")
        if isinstance(sources, list):
            context = context.but(scope=(self.aliases(sources, context), context.scope))
        selector = node.get("selector")
        if context.where == "conditional formatting" and isinstance(selector, dict) and is_string(selector.get("metadata")):
            # Formatting that applies to one field of the visual: gone with that field.
            context = context.but(selector=str(selector["metadata"]))
        if context.where == "visual projection":
            # A projection's field, or a query's select item, by its query name.
            named = node.get("queryRef") if isinstance(node.get("field"), dict) else node.get("Name")
            if is_string(named) and named != context.query_ref:
                context = context.but(query_ref=str(named))
        skip = None
        for reference_key in ("Column", "Measure", "HierarchyLevel", "Hierarchy", "PropertyVariationSource"):
            reference = node.get(reference_key)
            if isinstance(reference, dict) and self.reference(reference_key, reference, context):
                skip = reference_key
                break
        calculation = node.get("NativeVisualCalculation") or node.get("NativeMeasure")
        if isinstance(calculation, dict):
            self.calculation(calculation, context)
        if key == "selector":
            metadata = node.get("metadata")
            if is_string(metadata):
                self.metadata(metadata, context)
        return context, skip

    # --- aliases ---------------------------------------------------------------

    def aliases(self, sources: list[Any], context: Context) -> dict[str, tuple[Any, Any, JsonText]]:
        """Alias -> (Entity string, Schema, the text they are in) of a `From`
        list; Entity None for a subquery or other table that is not the
        model's."""
        found: dict[str, tuple[Any, Any, JsonText]] = {}
        for source in sources:
            if not isinstance(source, dict):
                self.problem(context, (source, sources),
                             'an item of "From" is not an object')
                continue
            name = source.get("Name")
            if not is_string(name):
                continue
            entity = source.get("Entity")
            found[str(name)] = (entity if is_string(entity) else None, source.get("Schema"), context.text)
        return found

    def table_of(self, expression: Any, context: Context, owner: Any) -> tuple[Any, Any, JsonText] | None:
        """(Entity string, Schema, its text) that a reference's `Expression` names, or
        None (a transform's table, an alias of a subquery, or a fault, which
        is reported)."""
        if not isinstance(expression, dict):
            self.problem(context, (expression, owner),
                         'a field reference\'s "Expression" is not an object')
            return None
        source = expression.get("SourceRef")
        if not isinstance(source, dict):
            if "SourceRef" in expression:
                self.problem(context, (source, expression, owner), '"SourceRef" is not an object')
            return None
        entity = source.get("Entity")
        if is_string(entity):
            return entity, source.get("Schema"), context.text
        alias = source.get("Source")
        if not is_string(alias):
            self.problem(context, (source, expression, owner), '"SourceRef" has neither an "Entity" nor a "Source" string')
            return None
        scope = context.scope
        while scope is not None:
            aliases, scope = scope
            if alias in aliases:
                found = aliases[alias]
                return found if found[0] is not None else None
        self.problem(context, (alias, owner), f'the alias "{alias}" is not declared in the "From" of its query or filter',
                     "warning")
        return None

    # --- references --------------------------------------------------------------

    def reference(self, written: str, reference: dict[str, Any], context: Context) -> bool:
        """Records the reference `{written: reference}`; False when it is not
        one (a `Measure` key holding something else), so that it is walked."""
        text = context.text
        level = level_span = hierarchy = None
        if written in ("Column", "Measure"):
            if "Property" not in reference:
                return False
            name, expression = reference.get("Property"), reference.get("Expression")
        elif written == "Hierarchy":
            if "Hierarchy" not in reference:
                return False
            name, expression = reference.get("Hierarchy"), reference.get("Expression")
        elif written == "HierarchyLevel":
            if "Level" not in reference:
                return False
            level, inner = reference.get("Level"), reference.get("Expression")
            if not is_string(level):
                self.problem(context, (level, reference), '"Level" is not a string')
                return True
            held = inner.get("Hierarchy") if isinstance(inner, dict) else None
            if not isinstance(held, dict):
                self.problem(context, (inner, reference),
                             'a hierarchy level\'s "Expression" holds no "Hierarchy" object')
                return True
            name, expression = held.get("Hierarchy"), held.get("Expression")
            level_span = text.span(level)
        else:  # PropertyVariationSource
            if "Property" not in reference:
                return False
            name, expression = reference.get("Property"), reference.get("Expression")
        if not is_string(name):
            self.problem(context, (name, reference), f'the name of a "{written}" is not a string')
            return True
        if isinstance(expression, dict) and isinstance(expression.get("PropertyVariationSource"), dict):
            # A column's automatic date hierarchy: the column is what is used.
            variation = expression["PropertyVariationSource"]
            column = variation.get("Property")
            if not is_string(column):
                self.problem(context, (variation, reference), 'a "PropertyVariationSource" has no "Property" string')
                return True
            hierarchy = str(name) if written in ("Hierarchy", "HierarchyLevel") else None
            level = str(level) if level is not None else (str(name) if written == "Column" else None)
            level_span = level_span if written == "HierarchyLevel" else (text.span(name) if written == "Column" else None)
            name, expression = column, variation.get("Expression")
        table = self.table_of(expression, context, reference)
        if table is None:
            return True
        entity, schema, table_text = table
        line, column = text.place(name)
        where = context.where or context.fallback
        use = FieldUse(
            self.report, str(entity), str(name), "unknown", where, text.file, line, column, written,  # type: ignore[arg-type]
            page=context.page, visual=context.visual, bookmark=context.bookmark, selector=context.selector,
            level=None if level is None else str(level), hierarchy=hierarchy,
            schema=str(schema) if is_string(schema) else None,
            table_span=table_text.span(entity),
            name_span=text.span(name), level_span=level_span,
        )
        if context.query_ref is not None:
            self.query_refs.setdefault((context.page, context.visual), {}).setdefault(context.query_ref, use)
        self.uses.append(use)
        return True

    def metadata(self, metadata: Any, context: Context) -> None:
        split = split_metadata(str(metadata))
        if split is None:
            return
        span = context.text.span(metadata)
        line, column = context.text.place(metadata)
        self.selectors.append((len(self.uses), str(metadata)))
        self.uses.append(FieldUse(
            self.report, split[0], split[1], "unknown", "formatting selector", context.text.file, line, column,
            "metadata", page=context.page, visual=context.visual, bookmark=context.bookmark, selector=str(metadata),
            table_span=span, name_span=span,
        ))

    def calculation(self, calculation: dict[str, Any], context: Context) -> None:
        expression, name = calculation.get("Expression"), calculation.get("Name", calculation.get("ProposedName"))
        if not is_string(expression):
            self.problem(context, calculation, 'a visual calculation has no "Expression" string')
            return
        self.formulas.append(report_formula(self.report, context.text, expression, "visual calculation", None,
                                            str(name) if is_string(name) else "", page=context.page,
                                            visual=context.visual))


def report_formula(report: str, text: JsonText, value: Any, kind: str, table: str | None, name: str,
                   **fields: Any) -> ReportFormula:
    """The ReportFormula of the DAX in the JSON string `value` of `text`."""
    line_map, exact = text.formula_places(value)
    span = text.span(value)
    formula = Formula(text.file, table, name, kind, str(value), *line_map[0], line_map, exact, "string",
                      ((span.start, span.end),))
    return ReportFormula(report, kind, table, name, formula, span, **fields)
