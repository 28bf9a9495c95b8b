"""Copies the schemas each schema here refers to into its `$defs`, under their
absolute `$id`, so that a plain `jsonschema.validate(document, schema)`
resolves every `$ref` without a registry. The referred files stay the ones
to edit; run this afterwards (the tests fail while a copy is stale):

    python docs/schemas/bundle.py

The ids are names, not addresses: nothing is ever fetched from tarvix.invalid."""

import json
import os
import sys

BASE = "https://tarvix.invalid/schemas/"
HERE = os.path.dirname(os.path.abspath(__file__))
# Each schema that refers to others, and every schema it reaches.
REFERRING = {"engine-report.schema.json": ("tracking.schema.json", "consistency.schema.json", "verdict.schema.json"),
             "verdict.schema.json": ("tracking.schema.json",)}
MARK = ',\n  "$defs": {\n    "' + BASE


def load(name: str) -> tuple[str, dict]:
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        text = f.read()
    return text, json.loads(text)


def copy_of(name: str) -> dict:
    """A referred schema as bundled: its absolute id, without its own bundle
    (whatever it reaches, the referring schema bundles too)."""
    schema = dict(load(name)[1], **{"$id": BASE + name})
    own = {k: v for k, v in schema.get("$defs", {}).items() if not k.startswith(BASE)}
    if own:
        schema["$defs"] = own
    else:
        schema.pop("$defs", None)
    return schema


def bundled(name: str) -> str:
    """The referring schema's text with its bundle rewritten; the rest of the
    file is kept as written."""
    text, _ = load(name)
    cut = text.find(MARK)
    head = text[:cut] if cut >= 0 else text.rstrip().removesuffix("}").rstrip()
    if "$defs" in json.loads(head + "}"):
        raise SystemExit(f"{name} has $defs of its own: merge the bundle into them by hand first")
    defs = ",\n".join(f"    {json.dumps(BASE + n)}: {json.dumps(copy_of(n), ensure_ascii=False)}"
                      for n in REFERRING[name])
    return head + ',\n  "$defs": {\n' + defs + "\n  }\n}\n"


def main() -> int:
    for name in REFERRING:
        text = bundled(name)
        if text != load(name)[0]:
            with open(os.path.join(HERE, name), "w", encoding="utf-8") as f:
                f.write(text)
            print(f"bundled {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
