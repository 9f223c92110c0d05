"""Which parameter each argument of a call stands for.

A signature's forms make a small automaton over arguments: a parameter is a
step that takes one argument, an optional one may be stepped over, a group
loops back to its start. Running it over a call's arguments tells whether
the count fits, which parameters an argument may stand for (the same place
can be a search column or the alternate result of LOOKUPVALUE, as the count
decides), and, given what each argument plainly is, where a call first
stops fitting. Everything is worked out on sets of states, so that optional
parameters in the middle (WINDOW's FromType) are no harder than trailing
ones; the automata are a few dozen states at most.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from functools import lru_cache

from .model import Form, Parameter, RepeatingGroup, Signature

__all__ = ["Automaton", "Fits", "automaton"]

#: Whether the argument at an index may stand for a parameter.
Fits = Callable[[Parameter, int], bool]

_ANY: Fits = lambda parameter, index: True  # noqa: E731


class Automaton:
    """The argument lists the forms of one signature accept."""

    def __init__(self, forms: Sequence[Form]) -> None:
        #: The forms, whose Parameter objects the edges and candidates are.
        self.forms = tuple(forms)
        self._edges: list[list[tuple[Parameter, int]]] = [[]]
        self._epsilon: list[list[int]] = [[]]
        accepting: set[int] = set()
        for form in forms:
            state = self._new()
            self._epsilon[0].append(state)
            for item in form.items:
                state = self._item(state, item)
            accepting.add(state)
        self._closures = [self._close({state}) for state in range(len(self._edges))]
        self._accepting = frozenset(accepting)
        # States from which the end is reached without taking an argument.
        self._finishing = frozenset(s for s, closure in enumerate(self._closures) if closure & self._accepting)
        # The states after 0, 1, 2 ... arguments of any kind, up to where the
        # sequence repeats itself (it must: the sets of states are finite),
        # so that a call of a million arguments costs no million sets.
        self._counts: list[frozenset[int]] = [self._closures[0]]
        self._seen: dict[frozenset[int], int] = {self._closures[0]: 0}
        self._cycle_start: int | None = None

    # --- building ----------------------------------------------------------------

    def _new(self) -> int:
        self._edges.append([])
        self._epsilon.append([])
        return len(self._edges) - 1

    def _step(self, state: int, parameter: Parameter) -> int:
        target = self._new()
        self._edges[state].append((parameter, target))
        if parameter.optional:
            self._epsilon[state].append(target)
        return target

    def _item(self, state: int, item: Parameter | RepeatingGroup) -> int:
        if isinstance(item, Parameter):
            return self._step(state, item)
        start = state
        for member in item.members:
            state = self._step(state, member)
        end = self._new()
        self._epsilon[state] += [end, start]  # done, or once more
        if not item.at_least_once:
            self._epsilon[start].append(end)
        return end

    def _close(self, states: set[int]) -> frozenset[int]:
        seen = set(states)
        stack = list(states)
        while stack:
            for target in self._epsilon[stack.pop()]:
                if target not in seen:
                    seen.add(target)
                    stack.append(target)
        return frozenset(seen)

    # --- running -----------------------------------------------------------------

    def _advance(self, states: frozenset[int], index: int, fits: Fits) -> frozenset[int]:
        reached: set[int] = set()
        for state in states:
            for parameter, target in self._edges[state]:
                if fits(parameter, index):
                    reached |= self._closures[target]
        return frozenset(reached)

    def _after(self, count: int) -> frozenset[int]:
        """The states after `count` arguments of any kind."""
        counts = self._counts
        while self._cycle_start is None and len(counts) <= count:
            following = self._advance(counts[-1], len(counts) - 1, _ANY)
            if following in self._seen:
                self._cycle_start = self._seen[following]
                break
            self._seen[following] = len(counts)
            counts.append(following)
        if count < len(counts):
            return counts[count]
        start = self._cycle_start or 0
        return counts[start + (count - start) % (len(counts) - start)]

    def run(self, count: int, fits: Fits = _ANY) -> list[frozenset[int]]:
        """The states after each number of arguments, 0 to `count`, taking
        them as `fits` allows; shorter when no state is left."""
        if fits is _ANY:
            found: list[frozenset[int]] = []
            for index in range(count + 1):
                after = self._after(index)
                if not after:
                    break
                found.append(after)
            return found
        states = [self._closures[0]]
        for index in range(count):
            following = self._advance(states[-1], index, fits)
            if not following:
                break
            states.append(following)
        return states

    def accepts(self, states: frozenset[int]) -> bool:
        return bool(states & self._accepting)

    def valid_count(self, count: int) -> bool:
        """Whether some form takes `count` arguments."""
        return bool(self._after(count) & self._accepting)

    def expected(self, states: frozenset[int]) -> tuple[Parameter, ...]:
        """The parameters that may come next from `states`."""
        found: dict[int, Parameter] = {}
        for state in states:
            for parameter, _ in self._edges[state]:
                found.setdefault(id(parameter), parameter)
        return tuple(found.values())

    def candidates(self, count: int, fits: Fits = _ANY) -> list[tuple[Parameter, ...]]:
        """For each of `count` arguments, the parameters it stands for in
        some complete reading of the call; empty lists when there is none."""
        forward = self.run(count, fits)
        if len(forward) != count + 1 or not self.accepts(forward[-1]):
            return [() for _ in range(count)]
        backward: list[frozenset[int]] = [frozenset()] * (count + 1)
        backward[count] = self._finishing
        for index in range(count - 1, -1, -1):
            later = backward[index + 1]
            backward[index] = frozenset(
                state for state, closure in enumerate(self._closures)
                if any(target in later and fits(parameter, index)
                       for inner in closure for parameter, target in self._edges[inner])
            )
        found: list[tuple[Parameter, ...]] = []
        for index in range(count):
            seen: dict[int, Parameter] = {}
            for state in forward[index]:
                for parameter, target in self._edges[state]:
                    if target in backward[index + 1] and fits(parameter, index):
                        seen.setdefault(id(parameter), parameter)
            found.append(tuple(seen.values()))
        return found

    def count_phrase(self, min_args: int, max_args: int | None) -> str:
        """How many arguments the forms take, in words: "2 or 3 arguments",
        "at least 1 argument", "3, 5, 7, … arguments"."""
        limit = max_args if max_args is not None else min_args + 8
        valid = [count for count in range(limit + 1) if self.valid_count(count)]
        if not valid:
            return "no argument list it could be called with"
        if max_args is None:
            if valid == list(range(valid[0], limit + 1)):
                return f"at least {_arguments(valid[0])}" if valid[0] else "any number of arguments"
            return ", ".join(map(str, valid[:3])) + ", … arguments"
        if valid == [0]:
            return "no arguments"
        if len(valid) == 1:
            return _arguments(valid[0])
        if valid == list(range(valid[0], valid[-1] + 1)):
            joiner = " or " if len(valid) == 2 else " to "
            return f"{valid[0]}{joiner}{valid[-1]} arguments"
        return ", ".join(map(str, valid[:-1])) + f" or {valid[-1]} arguments"


def _arguments(count: int) -> str:
    return f"{count} argument" + ("" if count == 1 else "s")


@lru_cache(maxsize=None)
def _built(forms: tuple[Form, ...]) -> Automaton:
    return Automaton(forms)


def automaton(signature: Signature | tuple[Form, ...]) -> Automaton:
    """The automaton of a signature (or of its forms), built once per
    distinct set of forms and kept on the signature."""
    if not isinstance(signature, Signature):
        return _built(signature)
    # Kept in the instance's own dictionary: found again without hashing
    # the forms, which a call site would otherwise do for every call.
    cached: Automaton | None = signature.__dict__.get("_automaton")
    if cached is None:
        cached = signature.__dict__["_automaton"] = _built(signature.forms)
    return cached
