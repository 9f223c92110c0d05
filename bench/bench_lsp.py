"""How soon the language server shows the problems of a change: a TMDL
model whose one table file holds 2,000 measures is opened in a client
that speaks to `quarrow-dax lsp` over standard input and output, as an
editor does; then one measure is edited again and again (one character
each time, in a different measure each time), and the time from sending
`didChange` to receiving the `publishDiagnostics` of that version is
measured. The goal: within 1 s of a change.

    python bench/bench_lsp.py                  # 2,000 measures, 30 changes
    python bench/bench_lsp.py --measures 5000 --changes 50
    python bench/bench_lsp.py --alone          # no requests beside the changes

After each change the client also asks what an editor such as VS Code
asks after typing (the semantic tokens, the outline, the code actions at
the cursor), so that the diagnostics wait behind that work as they would
in an editor; `--alone` sends the changes only.

The server waits for typing to pause before it works (its debounce, 120
ms by default), which the figures include. The load average is printed:
the machine is shared, and a busy one makes every figure high. A report,
not a test: it always exits 0.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

GOAL = 1.0


def make_model(folder: Path, measures: int) -> Path:
    """A model with one table of `measures` measures of the usual kinds
    (sums, filters, ratios, variables), some with findings of lint."""
    definition = folder / "Big.SemanticModel" / "definition"
    (definition / "tables").mkdir(parents=True)
    (definition / "model.tmdl").write_text("model Model\n\tculture: en-US\n", encoding="utf-8")
    lines = ["table Sales", ""]
    for number in range(measures):
        kind = number % 4
        if kind == 0:
            formula = f"SUMX ( Sales, Sales[Quantity] * Sales[Price] ) + {number}"
        elif kind == 1:
            formula = f"CALCULATE ( [Measure {number - 1}], Sales[Price] > {number} )"
        elif kind == 2:
            formula = f"DIVIDE ( [Measure {number - 1}], [Measure {number - 2}] )"
        else:
            formula = f"VAR x = [Measure {number - 3}] RETURN IF ( x > 0, x / 2, BLANK () )"
        lines += [f"\tmeasure 'Measure {number}' = {formula}", "\t\tformatString: 0.00", ""]
    lines += ["\tcolumn Quantity", "\t\tdataType: int64", "\t\tsourceColumn: Quantity", "",
              "\tcolumn Price", "\t\tdataType: decimal", "\t\tsourceColumn: Price", ""]
    table = definition / "tables" / "Sales.tmdl"
    table.write_text("\n".join(lines), encoding="utf-8")
    return table


class Client:
    """A minimal client: JSON-RPC messages with Content-Length headers."""

    def __init__(self, process: asyncio.subprocess.Process) -> None:
        self.process = process
        self.next_id = 0
        self.waiting: dict[int, asyncio.Future[Any]] = {}
        self.diagnostics: dict[tuple[str, int | None], float] = {}
        self.arrived = asyncio.Event()

    def send(self, message: dict[str, Any]) -> None:
        body = json.dumps({"jsonrpc": "2.0", **message}).encode("utf-8")
        assert self.process.stdin is not None
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    async def request(self, method: str, params: Any) -> Any:
        self.next_id += 1
        future: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        self.waiting[self.next_id] = future
        self.send({"id": self.next_id, "method": method, "params": params})
        return await future

    def notify(self, method: str, params: Any) -> None:
        self.send({"method": method, "params": params})

    async def read(self) -> None:
        reader = self.process.stdout
        assert reader is not None
        while True:
            headers = await reader.readuntil(b"\r\n\r\n")
            length = next(int(line.split(b":")[1]) for line in headers.split(b"\r\n")
                          if line.lower().startswith(b"content-length"))
            message = json.loads(await reader.readexactly(length))
            if "id" in message and "method" not in message:
                self.waiting.pop(message["id"]).set_result(message.get("result"))
            elif message.get("method") == "textDocument/publishDiagnostics":
                params = message["params"]
                self.diagnostics[(params["uri"], params.get("version"))] = time.perf_counter()
                self.arrived.set()
            elif "id" in message:  # a request of the server's: answered with nothing
                self.send({"id": message["id"], "result": None})

    async def diagnostics_of(self, uri: str, version: int, timeout: float = 60.0) -> float:
        deadline = time.perf_counter() + timeout
        while (uri, version) not in self.diagnostics:
            self.arrived.clear()
            remaining = deadline - time.perf_counter()
            if remaining <= 0:
                raise TimeoutError(f"no diagnostics for version {version}")
            try:
                await asyncio.wait_for(self.arrived.wait(), remaining)
            except asyncio.TimeoutError:
                pass
        return self.diagnostics[(uri, version)]


def editor_requests(line: int, column: int) -> list[tuple[str, dict[str, Any]]]:
    """What VS Code asks after a keystroke, besides waiting for diagnostics."""
    here = {"line": line, "character": column + 1}
    return [("textDocument/semanticTokens/full", {}), ("textDocument/documentSymbol", {}),
            ("textDocument/codeAction", {"range": {"start": here, "end": here}, "context": {"diagnostics": []}})]


async def measure(measures: int, changes: int, alone: bool = False) -> list[float]:
    with tempfile.TemporaryDirectory(prefix="bench-lsp-") as folder:
        table = make_model(Path(folder), measures)
        process = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "quarrow_dax", "lsp", stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE, limit=1 << 24)
        client = Client(process)
        reading = asyncio.ensure_future(client.read())
        await client.request("initialize", {"processId": os.getpid(), "rootUri": Path(folder).as_uri(),
                                            "capabilities": {"textDocument": {"codeAction": {
                                                "dataSupport": True, "resolveSupport": {"properties": ["edit"]}}}}})
        client.notify("initialized", {})
        uri = table.as_uri()
        text = table.read_text(encoding="utf-8")
        lines = text.split("\n")
        started = time.perf_counter()
        client.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "tmdl", "version": 1, "text": text}})
        opened = await client.diagnostics_of(uri, 1) - started
        print(f"first diagnostics after opening: {opened * 1000:.0f} ms")
        latencies = []
        for change in range(changes):
            version = change + 2
            # One character typed at the end of a measure's formula, each time another measure.
            line = 2 + 3 * ((change * 37) % measures)
            column = len(lines[line])
            lines[line] += "1" if change % 2 == 0 else " "
            sent = time.perf_counter()
            client.notify("textDocument/didChange", {
                "textDocument": {"uri": uri, "version": version},
                "contentChanges": [{"range": {"start": {"line": line, "character": column},
                                              "end": {"line": line, "character": column}},
                                    "text": lines[line][-1]}]})
            asked = [] if alone else [asyncio.ensure_future(client.request(method, {"textDocument": {"uri": uri},
                                                                                  **extra}))
                                      for method, extra in editor_requests(line, column)]
            latencies.append(await client.diagnostics_of(uri, version) - sent)
            await asyncio.gather(*asked)
            await asyncio.sleep(0.05)
        await client.request("shutdown", None)
        client.notify("exit", None)
        await process.wait()
        reading.cancel()
        return latencies


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--measures", type=int, default=2000)
    parser.add_argument("--changes", type=int, default=30)
    parser.add_argument("--alone", action="store_true", help="send the changes only, no other request")
    args = parser.parse_args(argv)
    print(f"load average: {' '.join(f'{value:.2f}' for value in os.getloadavg())}")
    latencies = asyncio.run(measure(args.measures, args.changes, args.alone))
    ordered = sorted(latencies)
    median = statistics.median(latencies)
    p90 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.9))]
    print(f"{args.measures} measures, {len(latencies)} changes: from didChange to publishDiagnostics"
          f" median {median * 1000:.0f} ms, 90th percentile {p90 * 1000:.0f} ms, worst {ordered[-1] * 1000:.0f} ms")
    print(f"with the requests of an editor: {'no' if args.alone else 'yes'}")
    print(f"goal: within {GOAL:.0f} s: {'met' if median <= GOAL else 'NOT met'} (median); "
          f"{'every change within it' if ordered[-1] <= GOAL else 'not every change within it'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
