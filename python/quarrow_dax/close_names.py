"""The name closest to a slip, among many, without comparing it with all.

"Did you mean [Revenue]?" compares the name written with the names the model
has, as `difflib.get_close_matches` does (ratio at least 0.8, the best one).
A model of twenty thousand measures with as many misspelt references would
make that twenty thousand times twenty thousand comparisons. `CloseNames`
indexes its names by their two-character pieces and compares a name only
with those that share enough of them, which finds the same best name:

difflib's ratio is 2M/T, M the characters of its matching blocks and T the
two lengths together, and it joins adjacent blocks, so between two blocks
one text or the other has a character of no block. Were every block one
character long, T >= 3M - 1 and the ratio at most 2(T + 1)/3T, under 0.8 for
T >= 6: a close name of six characters together or more shares a block of
two characters, a bigram, with the slip; more precisely, at least 0.2 T - 1
bigrams (see `_candidates`). Shorter pairs are compared whole.
"""

from __future__ import annotations

import difflib
from collections import Counter
from collections.abc import Iterable

__all__ = ["CUTOFF", "CloseNames", "best_of"]

#: The least ratio of a likely slip.
CUTOFF = 0.8
# Names whose length with a slip's is under this are compared whole.
_SHORT_PAIR = 6

_DECORATION = str.maketrans("", "", "'[]")


def _key(name: str) -> str:
    """What is compared: case, quotes and brackets left out, so that
    `[total sales]` is close to `[Total Sales]`."""
    return name.casefold().translate(_DECORATION)


def _lengths_close(a: int, b: int) -> bool:
    """Whether texts of these lengths can have a ratio of CUTOFF: the ratio
    is at most 2 min / T."""
    return 10 * min(a, b) >= 4 * (a + b)


def _least_shared(total: int) -> int:
    """The bigrams (counted with repeats) that two texts of `total`
    characters together share when their ratio is at least CUTOFF: blocks
    of M characters in k pieces share M - k, k is at most T - 2M + 1 and M
    at least 0.4 T, so at least 0.2 T - 1."""
    return -((5 - total) // 5)  # the ceiling of (T - 5) / 5


def _bigrams(key: str) -> Counter[str]:
    return Counter(key[i : i + 2] for i in range(len(key) - 1))


class CloseNames:
    """`names` (in DAX notation) made ready for `closest`. The first of
    several names with one key stands for them all."""

    def __init__(self, names: Iterable[str]) -> None:
        self.by_key: dict[str, str] = {}
        for name in names:
            self.by_key.setdefault(_key(name), name)
        self.keys = list(self.by_key)
        # (bigram, length of the name) -> the names of that length holding it.
        self._index: dict[tuple[str, int], list[int]] | None = None
        self._bigrams: list[Counter[str]] = []
        self._by_length: dict[int, list[int]] = {}

    def _built(self) -> dict[tuple[str, int], list[int]]:
        if self._index is None:
            self._index = {}
            for number, key in enumerate(self.keys):
                bigrams = _bigrams(key)
                self._bigrams.append(bigrams)
                for bigram in bigrams:
                    self._index.setdefault((bigram, len(key)), []).append(number)
                self._by_length.setdefault(len(key), []).append(number)
        return self._index

    def _candidates(self, key: str) -> list[int]:
        """The names that can be close to `key`: of a length within the
        ratio's reach, sharing enough bigrams with it. A name that must
        share t bigrams shares one of any set of the slip's bigrams that
        leaves out fewer than t of them: the commonest are left out, so that
        names such as m1 ... m20000 are not all visited for a slip ending
        in 17."""
        index = self._built()
        length = len(key)
        mine = _bigrams(key)
        found: list[int] = []
        for other in range(0, 2 * length + 6):
            if not _lengths_close(length, other) and length + other >= _SHORT_PAIR:
                continue
            needed = _least_shared(length + other)
            if needed <= 0:
                found += self._by_length.get(other, ())
                continue
            postings = sorted(((index.get((bigram, other), ()), count) for bigram, count in mine.items()),
                              key=lambda entry: len(entry[0]))
            left_out = 0
            while postings and left_out + postings[-1][1] <= needed - 1:
                left_out += postings.pop()[1]
            seen: set[int] = set()
            for numbers, _ in postings:
                for number in numbers:
                    if number not in seen:
                        seen.add(number)
                        theirs = self._bigrams[number]
                        if sum(min(count, theirs[bigram]) for bigram, count in mine.items()) >= needed:
                            found.append(number)
        return sorted(found)

    def match(self, written: str) -> tuple[float, str] | None:
        """(ratio, key) of the closest name, as `difflib.get_close_matches`
        would rank it (the highest ratio, then the greatest key), or None."""
        key = _key(written)
        if len(self.keys) <= 64:  # a few: compared whole, as before
            candidates = self.keys
        else:
            candidates = [self.keys[number] for number in self._candidates(key)]
        matcher = difflib.SequenceMatcher()
        matcher.set_seq2(key)
        best: tuple[float, str] | None = None
        for candidate in candidates:
            matcher.set_seq1(candidate)
            if (matcher.real_quick_ratio() >= CUTOFF and matcher.quick_ratio() >= CUTOFF
                    and matcher.ratio() >= CUTOFF):
                scored = (matcher.ratio(), candidate)
                if best is None or scored > best:
                    best = scored
        return best

    def closest(self, written: str) -> str | None:
        """The name closest to `written`, if one is close enough to be a
        likely slip."""
        found = self.match(written)
        return None if found is None else self.by_key[found[1]]


def best_of(written: str, *groups: CloseNames) -> str | None:
    """The closest name of several groups, as if they were one list in
    their order (a key in two groups stands for the first group's name)."""
    best: tuple[float, str] | None = None
    name: str | None = None
    for group in groups:
        found = group.match(written)
        if found is not None and (best is None or found > best):
            best, name = found, group.by_key[found[1]]
    return name
