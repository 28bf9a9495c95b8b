"""Check and repair diffusion-MRI gradient tables."""

from ._tarvix import (
    audit,
    audit_bids,
    audit_profiled,
    audit_profiled_with_glyphs,
    audit_with_glyphs,
    build_features,
    detect_flip,
    detect_flip_with_glyphs,
    inspect,
    recompute_bval,
    repair,
    repair_with_glyphs,
    version,
)

__version__ = version()

__all__ = [
    "version",
    "build_features",
    "inspect",
    "audit",
    "audit_with_glyphs",
    "audit_profiled",
    "audit_profiled_with_glyphs",
    "audit_bids",
    "detect_flip",
    "detect_flip_with_glyphs",
    "repair",
    "repair_with_glyphs",
    "recompute_bval",
]
