"""A system's contents as plain Python records, read back through its saved document.

Measurements and actuators become dictionaries with a "kind" key ("Zero", "Phase", "Gaussian", ...)
and their fields; every number keeps its exact value (the document writes shortest round-trip digits).
"""

import re

import yaml

_NUMBER = re.compile(r"^[-+]?(?:[0-9]+\.[0-9]*(?:[eE][-+]?[0-9]+)?|[0-9]+[eE][-+]?[0-9]+)$")


class _Loader(yaml.SafeLoader):
    pass


# The document's exponent form (1e16, 5e-324) has no point, which YAML 1.1's own float pattern needs.
_Loader.add_implicit_resolver("tag:yaml.org,2002:float", _NUMBER, list("-+0123456789"))


def _tagged(loader, suffix, node):
    return {"kind": suffix, **loader.construct_mapping(node, deep=True)}


_Loader.add_multi_constructor("!", _tagged)


def _variants(items):
    return [{"kind": item} if isinstance(item, str) else item for item in items]


def parse(text):
    doc = yaml.load(text, Loader=_Loader)
    for key in ("meas", "phi", "ts", "com"):
        doc[key] = _variants(doc[key])
    if doc.get("pupil"):
        doc["pupil"]["spiders"] = [list(s) for s in doc["pupil"]["spiders"]]
    return doc


def read(system, directory):
    """The records of `system`, saved into `directory` (a pathlib.Path) and parsed."""
    path = directory / "records.yaml"
    system.save_yaml(str(path))
    return parse(path.read_text(encoding="utf-8"))
