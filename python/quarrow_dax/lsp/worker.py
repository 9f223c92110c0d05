"""The one thread the server's analysis runs on, taking work by urgency.

An editor asks for a lot after each keystroke: colours, the outline, the
code actions at the cursor, and then the problems once typing pauses. On
a busy machine that work queued in arrival order would make the problems
(and a hover or a completion asked meanwhile) wait behind the colours of
the whole file. The worker takes the most urgent work first, in arrival
order within an urgency: what the user is waiting on (`ASKED`), then the
problems (`PROBLEMS`), then what an editor asks for on its own
(`BACKGROUND`).
"""

from __future__ import annotations

import itertools
import queue
import threading
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any

__all__ = ["ASKED", "BACKGROUND", "PROBLEMS", "Worker"]

ASKED = 0
PROBLEMS = 1
BACKGROUND = 2


class Worker:
    """A thread running submitted work, the lowest urgency number first."""

    def __init__(self, name: str = "quarrow-dax-analysis") -> None:
        self._queue: queue.PriorityQueue[tuple[int, int, Callable[[], Any] | None, Future[Any] | None]] = \
            queue.PriorityQueue()
        self._order = itertools.count()
        self._closed = False
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._serve, name=name, daemon=True)
        self._thread.start()

    def submit(self, urgency: int, work: Callable[[], Any]) -> Future[Any]:
        """The future of `work`'s result (or exception)."""
        future: Future[Any] = Future()
        with self._lock:
            if self._closed:
                future.cancel()
                return future
            self._queue.put((urgency, next(self._order), work, future))
        return future

    def shutdown(self) -> None:
        """Cancels the work not begun; the work under way finishes."""
        with self._lock:
            self._closed = True
            while True:
                try:
                    _, _, _, future = self._queue.get_nowait()
                except queue.Empty:
                    break
                if future is not None:
                    future.cancel()
            # Last of all urgencies: wakes the thread to end it.
            self._queue.put((BACKGROUND + 1, next(self._order), None, None))

    def _serve(self) -> None:
        while True:
            _, _, work, future = self._queue.get()
            if work is None or future is None:
                return
            if not future.set_running_or_notify_cancel():
                continue
            try:
                result = work()
            except BaseException as error:  # handed to whoever waits on the future
                future.set_exception(error)
            else:
                future.set_result(result)
