"""The JSON Schemas validate on their own: each carries the schemas it refers
to, and those copies are the files as they are now."""

import importlib.util
import os

import jsonschema
import pytest

from conftest import SCHEMAS, schema

spec = importlib.util.spec_from_file_location("bundle", os.path.join(SCHEMAS, "bundle.py"))
bundle = importlib.util.module_from_spec(spec)
spec.loader.exec_module(bundle)


def test_every_schema_is_whole_and_its_copies_current():
    for name in sorted(os.listdir(SCHEMAS)):
        if name.endswith(".schema.json"):
            jsonschema.Draft202012Validator.check_schema(schema(name.removesuffix(".schema.json")))
    for name in bundle.REFERRING:
        assert bundle.load(name)[0] == bundle.bundled(name), f"{name} is stale: run python docs/schemas/bundle.py"
    # A rule of a referred schema, reached through a reference to a third one, still holds.
    verdict = {"status": "FLAG", "axes": "FLAG", "decided_by": "tracking", "recommended_label": "-x+y+z",
               "recommended_transform": [[-1, 0, 0], [0, 1, 0]], "recommended_words": "x axis flipped",
               "best_label": "-x+y+z", "lead": 0.3, "lead_spread": 0.01, "thin_evidence": False, "thin_reasons": [],
               "orientation_unknown": False, "notes": []}
    with pytest.raises(jsonschema.ValidationError, match="is too short"):
        jsonschema.validate(verdict, schema("verdict"))
    verdict["recommended_transform"].append([0, 0, 1])
    jsonschema.validate(verdict, schema("verdict"))
