"""Modules imported when first used: the dataset batch, its page and group
table cost a third of the command's start, and only `bids` runs them;
nothing is decoded before a file has been read."""

from __future__ import annotations

import importlib


class OnFirstUse:
    def __init__(self, name: str):
        self._name = name

    def __getattr__(self, attr):
        return getattr(importlib.import_module(self._name, __package__), attr)


batch = OnFirstUse(".batch")
json = OnFirstUse("json")  # not needed before a report comes back
