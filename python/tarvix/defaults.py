"""The analysis defaults, as the extension module declares them.

The core states each default once; the module's signatures carry them, and
this is where the package reads them back instead of repeating the numbers.
The signatures are read from their text: `inspect` alone would cost a fifth
of the command's start."""

from __future__ import annotations

from . import _tarvix

_LITERALS = {"None": None, "True": True, "False": False}


def _literal(text: str):
    if text in _LITERALS:
        return _LITERALS[text]
    if text[:1] in "'\"":
        return text[1:-1]
    try:
        return int(text)
    except ValueError:
        return float(text)


def parameters(function, module=_tarvix) -> dict:
    """Parameter name -> default (or `REQUIRED`) of one function of an
    extension module, in the order of its signature."""
    signature = getattr(module, function).__text_signature__.strip("()")
    params = {}
    for item in signature.split(","):
        name, _, default = item.strip().partition("=")
        if name and name not in ("$module", "/", "*"):
            params[name] = _literal(default) if default else REQUIRED
    return params


REQUIRED = object()


def of(function: str) -> dict:
    """Parameter name -> default of one function of the module."""
    return {n: d for n, d in parameters(function).items() if d is not REQUIRED}


# The levels of the BIDS App: `tarvix bids ROOT OUT participant|group`.
BIDS_LEVELS = ("participant", "group")

_AUDIT = of("audit")
TOLERANCE = _AUDIT["tolerance"]
B0_THRESHOLD = _AUDIT["b0_threshold"]
MARGIN_THRESHOLD = _AUDIT["margin_threshold"]
