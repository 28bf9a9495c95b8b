"""The analysis defaults, as the extension module declares them.

The core states each default once; the module's signatures carry them, and
this is where the package reads them back instead of repeating the numbers."""

from __future__ import annotations

import inspect

from . import _tarvix


def of(function: str) -> dict:
    """Parameter name -> default of one function of the module."""
    params = inspect.signature(getattr(_tarvix, function)).parameters
    return {n: p.default for n, p in params.items() if p.default is not inspect.Parameter.empty}


# The levels of the BIDS App: `tarvix bids ROOT OUT participant|group`.
BIDS_LEVELS = ("participant", "group")

_AUDIT = of("audit")
TOLERANCE = _AUDIT["tolerance"]
B0_THRESHOLD = _AUDIT["b0_threshold"]
MARGIN_THRESHOLD = _AUDIT["margin_threshold"]
