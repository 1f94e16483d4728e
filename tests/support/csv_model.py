"""A plain-Python model of the column reader, for tests.

Reads the text with the standard csv module and converts each column with
Python's own int(), float() and datetime, deciding the type from all of the
column's values by the reader's documented ladder:

    int64 -> uint64 -> float64 -> bool -> datetime64[finest unit] -> text

Date-times are recognised only in the forms the tests generate
(YYYY-MM-DD, and YYYY-MM-DDTHH:MM[:SS[.fff|.ffffff]] with an optional Z or
+HH:MM); the tests keep every other text free of such forms.
"""

import csv
import datetime as _dt
import io
import re

import numpy as np

_WS = "[ \t\n\v\f\r]*"
_INT = re.compile(_WS + r"[+-]?[0-9]+" + _WS)
_FLOAT = re.compile(_WS + r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|nan|inf|infinity)" + _WS,
                    re.IGNORECASE)
_DATE = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})")
_DATETIME = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})[T ]([0-9]{2}):([0-9]{2})"
                       r"(?::([0-9]{2})(?:\.([0-9]{3}|[0-9]{6}))?)?(Z|[+-][0-9]{2}:[0-9]{2})?")
_UNIT_ORDER = ["D", "m", "s", "ms", "us"]


class Column:
    def __init__(self, values, missing, kind):
        self.values = values    # list of Python values (None where missing)
        self.missing = missing  # list of bool
        self.kind = kind        # "int64", "uint64", "float64", "bool", "datetime64[unit]", "text"


def _datetime(text):
    """(unit, aware, numpy datetime64 at that unit) or None."""
    m = _DATE.fullmatch(text)
    if m:
        try:
            d = _dt.date(int(m[1]), int(m[2]), int(m[3]))
        except ValueError:
            return None
        return "D", False, np.datetime64(d.isoformat(), "D")
    m = _DATETIME.fullmatch(text)
    if not m:
        return None
    year, month, day, hour, minute, second, fraction, zone = m.groups()
    if second is None:
        unit = "m"
    elif fraction is None:
        unit = "s"
    else:
        unit = "ms" if len(fraction) == 3 else "us"
    try:
        t = _dt.datetime(int(year), int(month), int(day), int(hour), int(minute), int(second or 0),
                         int((fraction or "0").ljust(6, "0")))
    except ValueError:
        return None
    aware = zone is not None
    if zone and zone != "Z":
        sign = 1 if zone[0] == "+" else -1
        hours, minutes = int(zone[1:3]), int(zone[4:6])
        if hours > 23 or minutes > 59:
            return None
        # Every generated form has minutes, so the offset never refines it.
        t -= _dt.timedelta(minutes=sign * (hours * 60 + minutes))
    return unit, aware, np.datetime64(t.isoformat(), "us")


def decide(texts, missing_values=()):
    """The model's reading of one column of texts."""
    missing = [t == "" or t in missing_values for t in texts]
    present = [t for t, m in zip(texts, missing) if not m]
    if not present:
        return Column([None] * len(texts), missing, "float64")

    def column(kind, convert):
        return Column([None if m else convert(t) for t, m in zip(texts, missing)], missing, kind)

    if all(_INT.fullmatch(t) for t in present):
        ints = [int(t) for t in present]
        if all(-2**63 <= i < 2**63 for i in ints):
            return column("int64", int)
        if all(0 <= i < 2**64 for i in ints):
            return column("uint64", int)
    if all(_FLOAT.fullmatch(t) for t in present):
        return column("float64", float)
    if all(t.lower() in ("true", "false") for t in present):
        return column("bool", lambda t: t.lower() == "true")
    parsed = [_datetime(t) for t in present]
    if all(parsed) and len({aware for _, aware, _ in parsed}) == 1:
        unit = max((u for u, _, _ in parsed), key=_UNIT_ORDER.index)
        return column(f"datetime64[{unit}]", lambda t: _datetime(t)[2].astype(f"M8[{unit}]"))
    return Column([None if m else t for t, m in zip(texts, missing)], missing, "text")


def _blank(row):
    return len(row) == 1 and row[0] != "" and row[0].strip(" \t") == ""


def read(text, missing_values=()):
    """{name: Column} of CSV text with a header row, blank lines dropped.

    A blank line is empty or holds only spaces and tabs, as the reader's
    drop_blank_rows sees it; in a one-column table that is a whitespace-only
    value, which the csv writer leaves unquoted."""
    rows = [row for row in csv.reader(io.StringIO(text, newline="")) if row and not _blank(row)]
    if not rows:
        return {}
    header, data = rows[0], rows[1:]
    out = {}
    for i, name in enumerate(header):
        texts = [row[i] if i < len(row) else "" for row in data]
        out[name] = decide(texts, missing_values)
    return out


def assert_matches(columns, model):
    """Every column of a Columns result equals the model, value for value."""
    assert list(columns) == list(model)
    for name, want in model.items():
        got = columns[name]
        kind = want.kind
        if kind == "text":
            assert got.dtype.kind in "OT", (name, got.dtype)
        else:
            assert got.dtype == np.dtype(kind), (name, got.dtype, kind)
        mask = columns.missing[name]
        assert mask.tolist() == want.missing, name
        for i, (value, m) in enumerate(zip(want.values, want.missing)):
            g = got[i]
            if m:
                if kind == "float64":
                    assert np.isnan(g), (name, i)
                elif kind.startswith("datetime64"):
                    assert np.isnat(g), (name, i)
                elif kind == "text":
                    assert g == "", (name, i)
                else:
                    assert g == 0, (name, i)
            elif kind == "float64":
                assert (np.isnan(g) and np.isnan(value)) or (
                    float(g) == value and np.signbit(g) == np.signbit(value)), (name, i, g, value)
            elif kind.startswith("datetime64"):
                assert g == value, (name, i, g, value)
            else:
                assert g == value and type(g.item() if hasattr(g, "item") else g) is type(value), (name, i, g, value)
