"""The rule catalogue: importing this package registers every rule, one
module per theme, and leaves the catalogue in code order."""

from ...diagnostics import RULES
from ..rule import CATALOGUE
from . import arithmetic, calls, directives, filters, names, repetition, variables

__all__ = ["arithmetic", "calls", "directives", "filters", "names", "repetition", "variables"]

for _code in sorted(CATALOGUE):
    CATALOGUE[_code] = CATALOGUE.pop(_code)
    RULES[_code] = RULES.pop(_code)
