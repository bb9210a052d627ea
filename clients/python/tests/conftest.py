import dataclasses
import json
import re
import time
from pathlib import Path

from lumvar_capture import Status

SHARED = Path(__file__).parents[2] / "shared"
FAKE = SHARED / "fake-helper.py"
CASES = json.loads((SHARED / "protocol-cases.json").read_text())


def camel(name):
    return re.sub(r"_(\w)", lambda m: m[1].upper(), name)


def plain(value):
    """A record as the shared cases write it: names and reasons in camelCase, clock_ns a string, no None."""
    if isinstance(value, list):
        return [plain(item) for item in value]
    if not dataclasses.is_dataclass(value):
        return value
    fields = {"isDefault" if k == "default" else camel(k): v for k, v in dataclasses.asdict(value).items() if v is not None}
    return {k: str(v) if k == "clockNs" else camel(v) if k == "reason" else v for k, v in fields.items()}


def event(name, payload):
    """An event as the shared cases write it (the line's Status of an event without data: none)."""
    return [camel(name)] + ([] if isinstance(payload, Status) else [plain(payload)])


def wait_until(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()
