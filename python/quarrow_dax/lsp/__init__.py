"""The language server (`quarrow-dax lsp`): the toolkit in any editor that
speaks the Language Server Protocol, offline.

It is a thin layer over the tools the command line uses: the problems are
those of `check` and `lint` (codes, hints, configuration), formatting is
the formatter's, hover and signature help read the function catalogue,
and names are looked up in the model as `check` looks them up. The server
owns only the documents and the protocol:

- `documents`: the open documents, changed incrementally, and positions
  in the editor's units;
- `workspace`: which model a file belongs to, the model read from its
  files and the open documents' text, its snapshots;
- `analysis`: check and lint over a text or a model's formulas, each
  formula examined again only when what it depends on changed;
- `places`: where each character of a formula sits in its document;
- one module per group of features: `hover` (with signature help),
  `completion`, `navigation` (definition, references), `editing`
  (formatting, fixes), `renaming` (the refactoring of `quarrow-dax
  rename`, and variables), `outline` (symbols, semantic tokens);
- `server`: the protocol's messages, the worker thread, the debounce.

pygls and lsprotocol come with the package's `lsp` extra; this package
imports them only when the server runs::

    pip install 'quarrow-dax[lsp]'
    quarrow-dax lsp            # standard input and output
    quarrow-dax lsp --tcp 2087 # or a port of 127.0.0.1
"""

from __future__ import annotations

__all__ = ["serve"]


def serve(tcp_port: int | None = None, host: str = "127.0.0.1") -> None:
    """Runs the server until the editor says exit (see `server.serve`)."""
    from .server import serve as run

    run(tcp_port, host)
