"""The dependency graph of a model: which object uses which.

    from quarrow_dax.graph import DependencyGraph, find_objects
    from quarrow_dax.model import load_model

    graph = DependencyGraph.build(load_model("examples/Sales.SemanticModel"))
    (margin,) = find_objects(graph.model, "'Sales'[Margin %]")
    print([used.dax for used in graph.upstream(margin, deep=True)])

An edge goes from an object to one it uses: a measure, calculated column,
calculated table, calculation item, role (its row filters) or function to
what its formulas refer to (`Resolution.target`, and every candidate of an
ambiguous reference, as an uncertain edge); a relationship to its two
columns, and to it from a formula that names both in USERELATIONSHIP or
CROSSFILTER; a column to its sort-by column; a hierarchy to its levels'
columns; a calculated table's column to its table. `unused` lists what
nothing refers to (a report may still use it, unless the reports were
added), `cycles` the circular uses.

`add_reports` joins reports to the graph: each visual, each page's and the
report's filters, each bookmark is a node (`ReportNode`) with an edge to
every model object (or report measure) it uses, `via` the place ("visual
projection", "sort", "page filter", ...); formatting selectors and a
report measure's reference list make no edge. Build the graph over the
model with the reports' measures (`quarrow_dax.report.extension`), so that
report measures are nodes whose formulas' uses are edges too.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import ClassVar

from . import collector
from .model import (
    Column, Formula, Function, Hierarchy, Measure, Model, ModelObject, Relationship, Role, Table, quote_table,
)
from .report import NOT_USING, FieldUse, Report
from .resolution import Resolution, Resolver
from .syntax import BracketRef, Identifier, ParseError, TableColumnRef, TableRef, parse_expression
from .syntax.parsing import Grammar, Separators

__all__ = [
    "BookmarkNode", "DependencyGraph", "Edge", "PageNode", "ReportNode", "VisualNode", "find_objects",
]

# The kinds that a formula can name, and so can be found unused.
_NAMEABLE = (Table, Column, Measure, Hierarchy, Function)
# How edges from the formulas that belong to a measure, beside its own, are
# named. They take no part in cycles: the engine evaluates them apart.
_ATTACHED = {
    "format string definition": "format string", "detail rows definition": "detail rows",
    "KPI target": "KPI", "KPI status": "KPI", "KPI trend": "KPI",
}


def _rank(certain: bool, via: str) -> tuple[bool, bool]:
    return certain, via not in _ATTACHED.values()


# Calls whose two column arguments name a relationship.
_RELATIONSHIP_CALLS = frozenset({"USERELATIONSHIP", "CROSSFILTER"})


@dataclass(eq=False)
class ReportNode(ModelObject):
    """A part of a report that uses model objects. `report` is the
    report's name, `page` the page's label (None for the report's own
    filters and its bookmarks)."""

    report: str = ""
    page: str | None = None
    kind: ClassVar[str] = "report"

    @property
    def dax(self) -> str:
        return f"filters of report {quote_table(self.report)}"


@dataclass(eq=False)
class VisualNode(ReportNode):
    """A visual; `name` is its label (its title, else its type), `visual`
    its id, shown beside a label that is not a title (several visuals of a
    page may have the same type)."""

    visual: str = ""
    titled: bool = True
    kind: ClassVar[str] = "visual"

    @property
    def dax(self) -> str:
        label = quote_table(self.name) + ("" if self.titled or not self.visual else f" ({self.visual})")
        return f"visual {label} on page {quote_table(self.page or '')} of report {quote_table(self.report)}"


@dataclass(eq=False)
class PageNode(ReportNode):
    """A page's filters and drill-through binding."""

    kind: ClassVar[str] = "page"

    @property
    def dax(self) -> str:
        return f"filters of page {quote_table(self.page or '')} of report {quote_table(self.report)}"


@dataclass(eq=False)
class BookmarkNode(ReportNode):
    kind: ClassVar[str] = "bookmark"

    @property
    def dax(self) -> str:
        return f"bookmark {quote_table(self.name)} of report {quote_table(self.report)}"


# Report uses that the report measures' own formulas already make edges of.
_FROM_FORMULAS = frozenset({"report measure"})


@dataclass(frozen=True)
class Edge:
    """`source` uses `target`. `via` says how ("formula", "relationship",
    "sort by", "hierarchy level", "calculated table", "row filter");
    `certain` is False for an ambiguous reference's candidates."""

    source: ModelObject
    target: ModelObject
    via: str
    certain: bool = True


class DependencyGraph:
    """The objects of a model and the edges between them. Build it with
    `DependencyGraph.build`, which also keeps every formula's resolutions
    (`resolutions`) and the formulas that do not parse (`errors`)."""

    def __init__(self, model: Model) -> None:
        self.model = model
        self.objects: list[ModelObject] = list(model.objects())
        self._order = {id(obj): index for index, obj in enumerate(self.objects)}
        self.edges: list[Edge] = []
        self._uses: dict[int, dict[int, Edge]] = {}
        self._users: dict[int, dict[int, Edge]] = {}
        self.resolutions: list[Resolution] = []
        self.errors: list[tuple[ModelObject | None, ParseError]] = []

    @classmethod
    def build(cls, model: Model, *, grammar: Grammar = "engine", separators: Separators = "comma") -> DependencyGraph:
        with collector.paused():  # see quarrow_dax.collector
            return cls._build(model, grammar, separators)

    @classmethod
    def _build(cls, model: Model, grammar: Grammar, separators: Separators) -> DependencyGraph:
        graph = cls(model)
        resolver = Resolver(model)
        for formula in model.formulas:
            owner = model.owner(formula)
            try:
                refs = resolver.formula_references(formula, grammar=grammar, separators=separators)
            except ParseError as error:
                graph.errors.append((owner, error))
                continue
            found = resolver.resolve(formula, refs)
            graph.resolutions.extend(found)
            if owner is not None:
                graph._add_formula(owner, formula, found)
        graph._add_structure()
        return graph

    def add(self, source: ModelObject, target: ModelObject, via: str, certain: bool = True) -> None:
        """Adds an edge. Between two objects one edge is kept: a certain one
        rather than an uncertain one, then one of a main formula rather than
        of a format string, KPI or detail rows."""
        uses = self._uses.setdefault(id(source), {})
        known = uses.get(id(target))
        if known is not None and _rank(known.certain, known.via) >= _rank(certain, via):
            return
        edge = Edge(source, target, via, certain)
        if known is not None:
            self.edges.remove(known)
        self.edges.append(edge)
        uses[id(target)] = edge
        self._users.setdefault(id(target), {})[id(source)] = edge

    def _add_formula(self, owner: ModelObject, formula: Formula, found: list[Resolution]) -> None:
        via = "row filter" if isinstance(owner, Role) else _ATTACHED.get(formula.kind, "formula")
        by_index: dict[int, ModelObject] = {}
        calls: list[int] = []
        for index, resolution in enumerate(found):
            targets = [resolution.target] if resolution.target is not None else []
            if targets:
                by_index[index] = targets[0]
            for target, certain in (*((target, True) for target in targets),
                                    *((candidate, False) for candidate in resolution.candidates)):
                # A KPI or a format string that uses its own measure's value
                # adds nothing to what the measure depends on.
                if target is not owner or via == "formula":
                    self.add(owner, target, via, certain)
            ref = resolution.reference
            if ref.kind == "function" and ref.name.upper() in _RELATIONSHIP_CALLS:
                calls.append(index)
        for call in calls:
            ends = [target for index, target in by_index.items()
                    if found[index].reference.parent == call and found[index].reference.argument in (0, 1)]
            relationship = self._relationship(ends)
            if relationship is not None:
                self.add(owner, relationship, via)

    def _relationship(self, ends: list[ModelObject]) -> Relationship | None:
        if len(ends) != 2 or not all(isinstance(end, Column) for end in ends):
            return None
        wanted = {id(end) for end in ends}
        for relationship in self.model.relationships:
            columns = {id(column) for column in self._relationship_columns(relationship)}
            if columns == wanted:
                return relationship
        return None

    def _relationship_columns(self, relationship: Relationship) -> Iterator[Column]:
        for table, name in ((relationship.from_table, relationship.from_column),
                            (relationship.to_table, relationship.to_column)):
            column = self.model.column(table, name)
            if column is not None:
                yield column

    def _add_structure(self) -> None:
        model = self.model
        for relationship in model.relationships:
            for column in self._relationship_columns(relationship):
                self.add(relationship, column, "relationship")
        for table in model.tables.values():
            for column in table.columns.values():
                if column.sort_by:
                    sort_by = table.columns.get(column.sort_by.casefold())
                    if sort_by is not None:
                        self.add(column, sort_by, "sort by")
                if column.type == "calculated table column":
                    self.add(column, table, "calculated table")
            for hierarchy in table.hierarchies.values():
                for level in hierarchy.levels:
                    level_column = table.columns.get(level.column.casefold())
                    if level_column is not None:
                        self.add(hierarchy, level_column, "hierarchy level")
        for role in model.roles.values():
            for name in role.tables:
                filtered = model.table(name)
                if filtered is not None:
                    self.add(role, filtered, "row filter")

    # --- questions ---------------------------------------------------------------

    def add_reports(self, reports: Iterable[Report]) -> None:
        """Joins the reports' visuals, filters and bookmarks to the graph
        (see the module's documentation). Uses of what the model lacks make
        no edge."""
        for report in reports:
            nodes: dict[tuple[str, str | None, str | None], ReportNode] = {}
            for use in report.uses:
                if use.where in NOT_USING or use.where in _FROM_FORMULAS or use.kind == "unknown":
                    continue
                target = self._target(use)
                if target is None:
                    continue
                node = self._report_node(report, use, nodes)
                self.add(node, target, use.where)

    def _report_node(self, report: Report, use: FieldUse,
                     nodes: dict[tuple[str, str | None, str | None], ReportNode]) -> ReportNode:
        key: tuple[str, str | None, str | None]
        if use.where == "bookmark":
            key = ("bookmark", use.bookmark, None)
        elif use.visual is not None:
            key = ("visual", use.page, use.visual)
        elif use.page is not None:
            key = ("page", use.page, None)
        else:
            key = ("report", None, None)
        node = nodes.get(key)
        if node is not None:
            return node
        page = report.page(use.page)
        page_label = page.label if page is not None else use.page
        if key[0] == "bookmark":
            bookmark = next((found for found in report.bookmarks if found.display_name == use.bookmark), None)
            place = (bookmark.file, bookmark.line, bookmark.column) if bookmark else (use.file, use.line, use.column)
            node = BookmarkNode(use.bookmark or "", *place, report=report.name)
        elif key[0] == "visual":
            visual = report.visual(use.page, use.visual)
            if visual is not None:
                node = VisualNode(visual.label, visual.file, visual.line, visual.column, report=report.name,
                                  page=page_label, visual=visual.name, titled=visual.title is not None)
            else:
                node = VisualNode(use.visual or "", use.file, use.line, use.column, report=report.name, page=page_label,
                                  visual=use.visual or "", titled=False)
        elif key[0] == "page":
            place = (page.file, page.line, page.column) if page is not None else (use.file, use.line, use.column)
            node = PageNode(page_label or "", *place, report=report.name, page=page_label)
        else:
            node = ReportNode(report.name, report.path, 0, 0, report=report.name)
        nodes[key] = node
        self._order[id(node)] = len(self.objects)
        self.objects.append(node)
        return node

    def _target(self, use: FieldUse) -> ModelObject | None:
        """The object a use means, in the graph's model."""
        table = self.model.table(use.table or "")
        if table is None:
            return None
        key = use.name.casefold()
        if use.kind in ("measure", "report measure"):
            return table.measures.get(key)
        if use.kind == "column":
            return table.columns.get(key)
        return table.hierarchies.get(key)

    def sorted(self, objects: Iterable[ModelObject]) -> list[ModelObject]:
        """`objects` in the model's declaration order."""
        return sorted(objects, key=lambda obj: self._order.get(id(obj), len(self._order)))

    def uses(self, obj: ModelObject) -> list[Edge]:
        """The edges from `obj`: what it uses directly."""
        return list(self._uses.get(id(obj), {}).values())

    def users(self, obj: ModelObject) -> list[Edge]:
        """The edges to `obj`: what uses it directly."""
        return list(self._users.get(id(obj), {}).values())

    def edges_along(self, path: Sequence[ModelObject]) -> list[Edge]:
        """The edges from each object of `path` to the next, such as those
        that draw one of `cycles`."""
        return [edge for source, target in zip(path, path[1:]) for edge in self.uses(source) if edge.target is target]

    def edges_among(self, objects: Iterable[ModelObject]) -> list[Edge]:
        """The edges between any two of `objects`, in the graph's order: the
        picture of a part of the model."""
        inside = {id(obj) for obj in objects}
        return [edge for edge in self.edges if id(edge.source) in inside and id(edge.target) in inside]

    def upstream(self, obj: ModelObject, *, deep: bool = False) -> list[ModelObject]:
        """What `obj` uses: directly, or with `deep` through any number of
        steps; in declaration order. `obj` itself is among them only where
        it is on one of `cycles`."""
        return self._reach(obj, deep, lambda node: (edge.target for edge in self.uses(node)),
                           lambda node: (edge.target for edge in self._cycle_edges(node)))

    def downstream(self, obj: ModelObject, *, deep: bool = False) -> list[ModelObject]:
        """What uses `obj`, directly or with `deep` through any number of
        steps; `obj` itself only where it is on one of `cycles`."""
        return self._reach(obj, deep, lambda node: (edge.source for edge in self.users(node)),
                           lambda node: (edge.source for edge in self.users(node)
                                         if edge.via not in _ATTACHED.values()))

    def _reach(
        self, start: ModelObject, deep: bool, step: Callable[[ModelObject], Iterable[ModelObject]],
        circular_step: Callable[[ModelObject], Iterable[ModelObject]],
    ) -> list[ModelObject]:
        seen = self._walk(start, deep, step)
        # Through a KPI, a format string or detail rows an object can reach
        # itself: M's KPI uses N, which uses M. The engine evaluates those
        # formulas apart from the measure, so that is no circular use, and
        # the object is no dependency of its own unless `cycles` says so.
        if id(start) in seen and id(start) not in self._walk(start, deep, circular_step):
            del seen[id(start)]
        return self.sorted(seen.values())

    @staticmethod
    def _walk(
        start: ModelObject, deep: bool, step: Callable[[ModelObject], Iterable[ModelObject]]
    ) -> dict[int, ModelObject]:
        seen: dict[int, ModelObject] = {}
        work = [start]
        while work:
            node = work.pop()
            for found in step(node):
                if id(found) not in seen:
                    seen[id(found)] = found
                    if deep:
                        work.append(found)
        return seen

    def unused(self, *, include_generated: bool = False) -> list[ModelObject]:
        """The tables, columns, measures, hierarchies and functions that no
        other object refers to: no formula, relationship, hierarchy level or
        sort-by column. The engine's own row-number columns, which no
        formula can name, are never listed; nor, unless `include_generated`,
        the objects of the tables Power BI makes itself for auto date/time
        (`Table.generated`), which Power BI keeps and removes as a whole. A
        report may still use what is listed.

        A table counts as used when anything uses it or one of its columns,
        measures, hierarchies or calculation items, except what goes with
        the table when it is deleted: its own columns, hierarchies and
        calculation items. A measure is no such part: measures belong to no
        table in DAX (one can move to another table without a formula
        changing) and reports show them, so a table whose columns a measure
        reads is used, wherever that measure is kept."""
        members: dict[int, int] = {}  # object -> its table
        parts: dict[int, int] = {}  # what goes with its table -> the table
        for table in self.model.tables.values():
            for member in (*table.columns.values(), *table.hierarchies.values(), *table.calculation_items.values()):
                members[id(member)] = parts[id(member)] = id(table)
            for measure in table.measures.values():
                members[id(measure)] = id(table)
        generated: set[int] = set() if include_generated else {
            id(table) for table in self.model.tables.values() if table.generated}
        used_tables: set[int] = set()
        for edge in self.edges:
            home = members.get(id(edge.target), id(edge.target))
            if parts.get(id(edge.source), id(edge.source)) != home:
                used_tables.add(home)
        found: list[ModelObject] = []
        for obj in self.objects:
            if not isinstance(obj, _NAMEABLE) or (isinstance(obj, Column) and obj.type == "row number"):
                continue
            if members.get(id(obj), id(obj)) in generated:
                continue
            if isinstance(obj, Table):
                if id(obj) not in used_tables:
                    found.append(obj)
            elif not any(source is not obj for source in (edge.source for edge in self.users(obj))):
                found.append(obj)
        return found

    def cycles(self) -> list[list[ModelObject]]:
        """One cycle through each group of objects that use each other in a
        circle (an object that uses itself is one too), each as a list that
        starts and ends with the same object, in declaration order."""
        found = []
        for component in self._strong_components():
            if len(component) == 1:
                (only,) = component
                if any(edge.target is only for edge in self._cycle_edges(only)):
                    found.append([only, only])
                continue
            found.append(self._cycle_in(component))
        return sorted(found, key=lambda cycle: self._order.get(id(cycle[0]), 0))

    def _cycle_edges(self, obj: ModelObject) -> list[Edge]:
        """The edges from `obj` that a circular use can run along: not
        those of format strings, KPIs and detail rows."""
        return [edge for edge in self.uses(obj) if edge.via not in _ATTACHED.values()]

    def _strong_components(self) -> list[list[ModelObject]]:
        """Tarjan's algorithm, with a work list instead of recursion."""
        index: dict[int, int] = {}
        low: dict[int, int] = {}
        on_stack: set[int] = set()
        stack: list[ModelObject] = []
        components = []
        counter = 0
        for root in self.objects:
            if id(root) in index:
                continue
            work: list[tuple[ModelObject, Iterator[Edge]]] = [(root, iter(self._cycle_edges(root)))]
            index[id(root)] = low[id(root)] = counter
            counter += 1
            stack.append(root)
            on_stack.add(id(root))
            while work:
                node, edges = work[-1]
                advanced = False
                for edge in edges:
                    target = edge.target
                    if id(target) not in index:
                        index[id(target)] = low[id(target)] = counter
                        counter += 1
                        stack.append(target)
                        on_stack.add(id(target))
                        work.append((target, iter(self._cycle_edges(target))))
                        advanced = True
                        break
                    if id(target) in on_stack:
                        low[id(node)] = min(low[id(node)], index[id(target)])
                if advanced:
                    continue
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[id(parent)] = min(low[id(parent)], low[id(node)])
                if low[id(node)] == index[id(node)]:
                    component = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(id(member))
                        component.append(member)
                        if member is node:
                            break
                    components.append(self.sorted(component))
        return components

    def _cycle_in(self, component: list[ModelObject]) -> list[ModelObject]:
        """A shortest cycle from the component's first object back to it."""
        inside = {id(obj) for obj in component}
        start = component[0]
        came_from: dict[int, ModelObject] = {}
        frontier = [start]
        while frontier:
            following = []
            for node in frontier:
                for edge in sorted(self._cycle_edges(node), key=lambda edge: self._order.get(id(edge.target), 0)):
                    target = edge.target
                    if id(target) not in inside:
                        continue
                    if target is start:
                        path = [node]
                        while path[-1] is not start:
                            path.append(came_from[id(path[-1])])
                        return [*reversed(path), start]
                    if id(target) not in came_from:
                        came_from[id(target)] = node
                        following.append(target)
            frontier = following
        return [start, start]


def find_objects(model: Model, name: str) -> list[ModelObject]:
    """The objects that `name` names, written as DAX names them:
    `'Sales'[Margin %]` (a column, measure, hierarchy or calculation item of
    that table), `[Margin %]` (a measure, by its unique name), `'Sales'` or
    `Sales` (a table, else a function), a function's name, `role 'Name'`,
    or a relationship as `deps` prints it. Case is ignored; [] when nothing
    has that name."""
    text = name.strip()
    for relationship in model.relationships:
        if relationship.dax.casefold() == text.casefold():
            return [relationship]
    if text[:5].casefold() == "role ":
        role_name = text[5:].strip()
        if role_name.startswith("'") and role_name.endswith("'") and len(role_name) >= 2:
            role_name = role_name[1:-1].replace("''", "'")
        role = model.roles.get(role_name.casefold())
        return [role] if role is not None else []
    function = model.function(text)
    if function is not None and model.table(text) is None:
        return [function]
    try:
        tree = parse_expression(text)
    except ParseError:
        return []
    if isinstance(tree, (TableRef, Identifier)):
        table_name = tree.table.name if isinstance(tree, TableRef) else tree.name
        table = model.table(table_name)
        if table is not None:
            return [table]
        function = model.function(table_name)
        return [function] if function is not None else []
    if isinstance(tree, BracketRef):
        measure = model.measure(tree.name)
        return [measure] if measure is not None else []
    if isinstance(tree, TableColumnRef):
        table = model.table(tree.table.name)
        if table is None:
            return []
        key = tree.column.casefold()
        found: list[ModelObject] = []
        for members in (table.measures, table.columns, table.hierarchies, table.calculation_items):
            member = members.get(key)
            if member is not None:
                found.append(member)
        return found
    return []


# --- drawing --------------------------------------------------------------------


def _dot_quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def to_dot(graph: DependencyGraph, nodes: Iterable[ModelObject], edges: Iterable[Edge]) -> str:
    """Graphviz text of `nodes` and `edges` (their ends are drawn too): one
    box per object labelled in DAX notation (a note for a part of a
    report), uncertain edges dashed."""
    ids, lines = _numbered(graph, nodes, edges)
    out = ["digraph dependencies {", "  rankdir=LR;", '  node [shape=box, fontname="Helvetica"];']
    for obj, number in ids.items():
        shape = ", shape=note" if isinstance(obj, ReportNode) else ""
        out.append(f"  n{number} [label={_dot_quoted(obj.dax)}{shape}];")
    for edge in lines:
        style = "" if edge.certain else " [style=dashed]"
        out.append(f"  n{ids[edge.source]} -> n{ids[edge.target]}{style};")
    out.append("}")
    return "\n".join(out) + "\n"


def to_mermaid(graph: DependencyGraph, nodes: Iterable[ModelObject], edges: Iterable[Edge]) -> str:
    """Mermaid flowchart text of `nodes` and `edges`, as to_dot draws them."""
    ids, lines = _numbered(graph, nodes, edges)
    out = ["flowchart LR"]
    for obj, number in ids.items():
        label = obj.dax.replace('"', "#quot;")
        # A report's part is drawn rounded, apart from the model's objects.
        out.append(f'  n{number}(["{label}"])' if isinstance(obj, ReportNode) else f'  n{number}["{label}"]')
    for edge in lines:
        arrow = "-->" if edge.certain else "-.->"
        out.append(f"  n{ids[edge.source]} {arrow} n{ids[edge.target]}")
    return "\n".join(out) + "\n"


def _numbered(
    graph: DependencyGraph, nodes: Iterable[ModelObject], edges: Iterable[Edge]
) -> tuple[dict[ModelObject, int], list[Edge]]:
    """The objects to draw, numbered in declaration order, and the edges."""
    edges = list(edges)
    objects = graph.sorted({id(obj): obj for obj in (*nodes, *(end for edge in edges
                                                               for end in (edge.source, edge.target)))}.values())
    return {obj: number for number, obj in enumerate(objects, 1)}, edges
