"""Delimited text read by Dask: tavrel.dask.read_columns().

Each file is cut into byte ranges of about `blocksize` bytes, and one task
reads each range with tavrel.read_columns(path, byte_range=...): a range
holds the rows whose first byte lies in it, so the ranges of a file give
every row exactly once.  A compressed file cannot be entered in the middle:
one task reads it whole.  The result is one dask.array per column, with the
missing masks beside them.

A column's type is decided by all of its values, as on one machine, and
ranges may decide differently (a column of integers in one range meets a
word in another).  So the read has two passes:

- a survey, computed while the graph is built: every range is read and
  reports, for each column, the type its values decided, whether an integer
  column saw a negative value, and for a date-time column the earliest and
  latest instant and the text of its first value;
- the graph's own tasks, which read each range again with every column's
  dtype given: the dtype the whole column decides.

The survey's reports are reconciled exactly as the reader's ladder would
have decided over all the values at once: integers and floats by the rules
of the ladder; date-times by the zone of their first texts (one text per
range, classified together by the reader) and the span of their instants in
the finest unit; a column that is text anywhere is text everywhere, its
other ranges read again as text, so that every value keeps its original
text.  The rare mixes that these reports cannot settle (bool or date-time
in one range, numbers in another) are settled by the reader itself over the
column's texts from every range, gathered in one task.

Dask is optional: importing tavrel does not import this module.
"""

import glob
import math
import os
import re
import threading
import warnings

try:
    import dask
    import dask.array as da
    from dask.base import tokenize
except ImportError as exc:  # pragma: no cover - exercised only without Dask
    raise ImportError("tavrel.dask needs Dask: pip install 'tavrel[dask]' (or dask and distributed)") from exc

import numpy as np

from . import _reader
from ._reader import Columns, ParseError, ParseWarning

__all__ = ["read_columns", "DaskColumns"]

_EMPTY, _INT64, _UINT64, _FLOAT64, _BOOL, _DATETIME, _TEXT = range(7)
_COMPRESSED = (".gz", ".bz2", ".xz", ".zst")
_MAX_RANGES = 1_000_000  # per file: beyond this the blocksize is surely a mistake
_SIZES = {"": 1, "b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
          "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40}
# Options about values (not about rows): what a column's texts are read by.
_VALUE_OPTIONS = ("decimal_mark", "group_mark", "float_algorithm", "missing_values", "true_values",
                  "false_values", "date_format", "encoding_errors")
# Units from coarsest to finest, and the units of a day.
_UNIT_ORDER = ("Y", "M", "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as")
_PER_DAY = {"D": 1, "h": 24, "m": 1440, "s": 86400, "ms": 86400 * 10**3, "us": 86400 * 10**6,
            "ns": 86400 * 10**9, "ps": 86400 * 10**12, "fs": 86400 * 10**15, "as": 86400 * 10**18}


# --- the parts of a read ----------------------------------------------------------------------

class _Part:
    """One task's share: a file, a byte range of it (None: the whole file)
    and the options of its read."""

    __slots__ = ("path", "byte_range", "options")

    def __init__(self, path, byte_range, options):
        self.path = path
        self.byte_range = byte_range
        self.options = options

    def where(self):
        if self.byte_range is None:
            return self.path
        start, stop = self.byte_range
        return f"{self.path}, bytes [{start}, {stop})"

    def read(self, **changes):
        """The part read with some options changed; a data error names the
        part (its row numbers count from the range's first row)."""
        options = dict(self.options, **changes)
        if self.byte_range is not None:
            options["byte_range"] = self.byte_range
        try:
            return _reader.read_columns(self.path, **options)
        except ParseError as exc:
            raise _located(exc, self.where()) from exc

    def __dask_tokenize__(self):
        return (self.path, self.byte_range, sorted(self.options.items(), key=lambda kv: kv[0]))


def _located(exc, where):
    new = ParseError(f"{where}: {exc}")
    new.row = getattr(exc, "row", None)
    for note in getattr(exc, "__notes__", ()):
        new.add_note(note)
    return new


def _blocksize(value):
    if value is None:
        return None
    if isinstance(value, str):
        m = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([kmgt]i?b|b)?\s*", value, re.IGNORECASE)
        if m is None:
            raise ValueError(f"blocksize must be a size such as '64MiB' or a number of bytes, not {value!r}")
        size = int(float(m.group(1)) * _SIZES[(m.group(2) or "").lower()])
    elif _reader._is_int(value):
        size = int(value)
    else:
        raise TypeError(f"blocksize must be an int, a str such as '64MiB' or None, not {type(value).__name__}")
    if size < 1:
        raise ValueError(f"blocksize must be at least 1 byte, not {value!r}")
    return size


def _paths(paths_or_glob):
    """The files to read: globs expanded (each sorted), in the order given."""
    if isinstance(paths_or_glob, (str, os.PathLike)):
        items = [paths_or_glob]
    elif isinstance(paths_or_glob, (list, tuple)):
        items = list(paths_or_glob)
        if not items:
            raise ValueError("paths_or_glob: no file given")
    else:
        raise TypeError(f"paths_or_glob must be a path, a glob or a list of them, "
                        f"not {type(paths_or_glob).__name__}")
    out = []
    for item in items:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"paths_or_glob must hold paths (str or os.PathLike), not {type(item).__name__}")
        path = os.fspath(item)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        if "\0" in path:
            raise ValueError("paths_or_glob: a path cannot contain NUL")
        if isinstance(item, str) and glob.has_magic(path):
            found = sorted(glob.glob(path))
            if not found:
                raise FileNotFoundError(f"no file matches {path!r}")
            out.extend(found)
        else:
            out.append(path)
    for path in out:
        if os.path.isdir(path):
            raise IsADirectoryError(f"source is a directory: {path!r}")
        if not os.path.exists(path):
            raise FileNotFoundError(f"no such file: {path!r}")
    return out


class _Prefix:
    """The first `stop` bytes of a file, as a one-way stream."""

    def __init__(self, f, stop):
        self._f = f
        self._left = stop

    def read(self, size=-1):
        if size < 0 or size > self._left:
            size = self._left
        data = self._f.read(size)
        self._left -= len(data)
        return data


def _first_stop(path, size, blocksize, options):
    """Where the first range of a split file ends: at a multiple of the
    blocksize past the start of the header row (comment and blank rows may
    come before it), so that no later range begins before the data.  Grows
    until the file's prefix shows that row."""
    if options.get("header", 0) is None:
        return blocksize
    probe = {k: v for k, v in options.items() if k not in ("names", "columns", "dtypes", "parse_dates")}
    probe["max_rows"] = 0
    stop = blocksize
    while stop < size:
        with open(path, "rb") as f:
            try:
                if len(_reader.read_columns(_Prefix(f, stop), **probe)):
                    return stop
            except ValueError:
                pass  # cut inside a quoted field: a longer prefix decides
        stop *= 2
    return size


def _full_names(path, options):
    """A file's column names (all of them), from its header or first row."""
    probe = {k: v for k, v in options.items() if k not in ("columns", "dtypes", "parse_dates")}
    probe["max_rows"] = 0
    return list(_reader.read_columns(path, **probe))


def _split(path, names, blocksize, options):
    """The parts of one file."""
    size = os.path.getsize(path)
    # A compressed file cannot be entered in the middle, and skipped rows or a
    # header below the first row are numbered from the file's start.
    whole = (blocksize is None or size <= blocksize or path.lower().endswith(_COMPRESSED)
             or options.get("skip_rows") is not None or options.get("header", 0) not in (0, None))
    first = size if whole else _first_stop(path, size, blocksize, options)
    if first >= size:
        return [_Part(path, None, dict(options))]
    count = 1 + -(-(size - first) // blocksize)
    if count > _MAX_RANGES:
        raise ValueError(f"blocksize: {blocksize} bytes would cut {path!r} into {count} ranges")
    rest = {k: v for k, v in options.items() if k not in ("header", "names")}
    rest.update(header=None, names=names)
    parts = [_Part(path, (0, first), dict(options))]
    for start in range(first, size, blocksize):
        parts.append(_Part(path, (start, min(start + blocksize, size)), rest))
    return parts


def _at_row_starts(parts, options):
    """The parts with each range starting at its first row start.

    Where a quoted field may hold a line break, a range alone finds its
    first row by tokenizing the file from the header up to its start: every
    range would read all the bytes before it.  Instead one task per file
    finds the row starts of all its ranges in a single pass, and each range
    is told that its start is one.  A range in which no row starts (a row
    longer than the blocksize) keeps its bytes and finds that out itself."""
    probe = {k: v for k, v in options.items() if k not in ("columns", "dtypes", "parse_dates", "threads")}
    ranged = {}
    for i, p in enumerate(parts):
        if p.byte_range is not None and p.byte_range[0] > 0:
            ranged.setdefault(p.path, []).append(i)
    if not ranged:
        return parts
    paths = list(ranged)
    found = dask.compute(*[dask.delayed(_reader._row_starts)(path, [parts[i].byte_range[0] for i in ranged[path]],
                                                             probe) for path in paths])
    parts = list(parts)
    for path, starts in zip(paths, found):
        for i, start in zip(ranged[path], starts):
            p = parts[i]
            stop = p.byte_range[1]
            if start < stop:
                parts[i] = _Part(p.path, (start, stop), dict(p.options, _row_start=True))
    return parts


# --- the survey -------------------------------------------------------------------------------

# catch_warnings changes process-wide state: surveys that record warnings
# take turns within a process.
_warn_lock = threading.Lock()


def _kind(dtype):
    """(kind, unit) of a column's dtype."""
    if dtype.kind == "M":
        return _DATETIME, np.datetime_data(dtype)[0]
    return {"i": _INT64, "u": _UINT64, "f": _FLOAT64, "b": _BOOL}.get(dtype.kind, _TEXT), None


def _survey(part, given):
    """What a part's values decide: (rows, {name: report}, warnings).

    A report is [kind, unit, extra]: for int64, whether a value is
    negative; for a date-time, [earliest, latest, first text]; else None.
    A column with no value at all is Empty.  Columns named in `given` have
    their dtype given: nothing more is found out about them."""
    caught = []
    if part.options.get("bad_rows") == "warn":
        with _warn_lock, warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always", ParseWarning)
            cols = part.read()
        for w in record:
            if issubclass(w.category, ParseWarning):
                caught.append(f"{part.where()}: {w.message}")
            else:
                warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    else:
        cols = part.read()
    reports, firsts = {}, {}
    for name, values in cols.items():
        if name in given:
            continue
        present = ~cols.missing[name]
        kind, unit = _kind(values.dtype)
        extra = None
        if not present.any():
            kind, unit = (_EMPTY, None) if kind == _FLOAT64 else (kind, unit)
        elif kind == _INT64:
            extra = bool(values[present].min() < 0)
        elif kind == _DATETIME:
            counts = values[present].view(np.int64)
            extra = [int(counts.min()), int(counts.max()), None]
            firsts[name] = int(np.argmax(present))
        reports[name] = [kind, unit, extra]
    if firsts:
        texts = part.read(columns=list(firsts), dtypes={n: "str" for n in firsts},
                          max_rows=max(firsts.values()) + 1, bad_rows=_quiet(part.options))
        for name, row in firsts.items():
            reports[name][2][2] = str(texts[name][row])
    return cols.nrows, reports, caught


def _quiet(options):
    """The bad-row policy of a read after the survey: its warnings were given."""
    policy = options.get("bad_rows", "error")
    return "skip" if policy == "warn" else policy


def _column_texts(part, names):
    """The texts and missing masks of some columns of a part."""
    cols = part.read(columns=names, dtypes={n: "str" for n in names}, bad_rows=_quiet(part.options))
    return {n: (cols[n], cols.missing[n]) for n in names}


def _decide_from_texts(pieces, value_options, parse_dates):
    """The dtype the reader decides for one column holding every text of
    `pieces` ((texts, missing) pairs): the texts written as one quoted
    column and read back with the caller's value rules."""
    taken = {value_options.get("decimal_mark", "."), value_options.get("group_mark")}
    quote = next(q for q in ('"', "'", "\x1e") if q not in taken)
    sep = next(s for s in ("\x1f", "\x1d") if s not in taken)
    lines = []
    for texts, missing in pieces:
        for text, gone in zip(texts.tolist(), missing.tolist()):
            lines.append(quote * 2 if gone else quote + str(text).replace(quote, quote * 2) + quote)
    data = "\n".join(lines).encode("utf-8", value_options.get("encoding_errors", "strict"))
    cols = _reader.read_columns(data, sep=sep, quote=quote, quote_doubling=True, escape=None, comment=None,
                                header=None, names=["v"], parse_dates=parse_dates, **value_options)
    return _dtype_name(cols["v"].dtype, cols.missing["v"].all())


def _dtype_name(dtype, empty=False):
    kind, unit = _kind(dtype)
    if kind == _DATETIME:
        return f"datetime64[{unit}]"
    if kind == _TEXT:
        return "str"
    return "float64" if empty else dtype.name


# --- reconciling the ranges' decisions ----------------------------------------------------------

def _days_from_civil(year, month, day):
    year -= month <= 2
    era = year // 400
    yoe = year - era * 400
    doy = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    return era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468


def _rescaled(count, unit, to):
    """A count of `unit` as a count of the finer (or same) unit `to`."""
    if unit == to:
        return count
    if unit == "Y":
        if to == "M":
            return count * 12
        count, unit = _days_from_civil(1970 + count, 1, 1), "D"
    elif unit == "M":
        count, unit = _days_from_civil(1970 + count // 12, count % 12 + 1, 1), "D"
    return count * (_PER_DAY[to] // _PER_DAY[unit])


def _fits(count):
    # NumPy's NaT is the int64 minimum: no instant may be counted as it.
    return -(2**63) < count < 2**63


def _reconcile(reports, value_options):
    """The dtype of a column from its ranges' reports, or None when only
    the column's texts can tell."""
    found = [r for r in reports if r[0] != _EMPTY]
    kinds = {r[0] for r in found}
    if not kinds:
        return "float64"
    if _TEXT in kinds:
        return "str"
    if kinds <= {_INT64, _UINT64, _FLOAT64}:
        if _FLOAT64 in kinds:
            return "float64"
        if kinds == {_INT64}:
            return "int64"
        # A value above the int64 maximum and a negative one: no integer
        # type holds both, and every integer text is a float text.
        negative = any(r[2] for r in found if r[0] == _INT64)
        return "float64" if negative else "uint64"
    if kinds == {_BOOL}:
        return "bool"
    if kinds == {_DATETIME}:
        if len(found) > 1:
            # Each range's values all have a zone or all have none: one text
            # of each shows whether the ranges agree.
            firsts = np.array([r[2][2] for r in found], dtype=object)
            if _decide_from_texts([(firsts, np.zeros(len(firsts), bool))], value_options, True) == "str":
                return "str"
        finest = max((r[1] for r in found), key=_UNIT_ORDER.index)
        for _, unit, (low, high, _) in found:
            if not (_fits(_rescaled(low, unit, finest)) and _fits(_rescaled(high, unit, finest))):
                return "str"
        return f"datetime64[{finest}]"
    return None


# --- the result ---------------------------------------------------------------------------------

class DaskColumns(Columns):
    """The columns of a read with Dask: a read-only mapping of name to a
    one-dimensional dask.array.

    .missing maps each name to the dask.array of its missing mask, .dtypes
    each name to its dtype, .nrows is the number of rows (None when it is
    known only after computing), and compute() gives a tavrel.Columns.
    """

    __slots__ = ()

    def __init__(self, data, missing, nrows):
        super().__init__(data, missing, 0)
        self._nrows = nrows

    @property
    def npartitions(self):
        """The number of tasks that read the input."""
        return next(iter(self._data.values())).numblocks[0] if self._data else 0

    def compute(self, **kwargs):
        """Reads everything (each range once) and returns a tavrel.Columns.
        Keyword arguments go to dask.compute (e.g. scheduler=)."""
        names = list(self._data)
        arrays = [self._data[n] for n in names] + [self._missing[n] for n in names]
        done = dask.compute(*arrays, **kwargs)
        nrows = len(done[0]) if names else 0
        return Columns(zip(names, done[:len(names)]), zip(names, done[len(names):]), nrows)

    def __repr__(self):
        rows = "unknown number of" if self._nrows is None else str(self._nrows)
        lines = [f"DaskColumns: {len(self._data)} columns, {rows} rows, {self.npartitions} partitions"]
        lines += [f"  {name}: {a.dtype}" for name, a in self._data.items()]
        return "\n".join(lines)


def _read_part(part, expected):
    cols = part.read()
    if expected is not None and cols.nrows != expected:
        raise RuntimeError(f"{part.where()}: {cols.nrows} rows where the survey found {expected}; "
                           "was the file changed after the graph was built?")
    return tuple(cols.values()), tuple(cols.missing.values())


def _pick(result, which, index):
    return result[which][index]


def _given_dtype(kind, unit):
    """The dtype name of a dtype given by the caller (the reader's codes)."""
    if kind == _DATETIME:
        return f"datetime64[{_UNIT_NAMES[unit]}]"
    return {_INT64: "int64", _UINT64: "uint64", _FLOAT64: "float64", _BOOL: "bool", _TEXT: "str"}[kind]


def _numpy_dtype(name):
    if name == "str":
        global _text_dtype
        if _text_dtype is None:
            _text_dtype = _reader.read_columns(b"t\nx\n")["t"].dtype
        return _text_dtype
    return np.dtype(name)


_text_dtype = None
_UNIT_NAMES = {code: name for name, code in _reader._UNITS.items()}


def _run_survey(parts, max_rows, given):
    """The survey of every part: [(rows, reports, warnings)], and the parts
    that the read keeps.  With max_rows, the parts are surveyed in order
    until that many rows were found, each reading only the rows still
    wanted; later parts are never read, as a read on one machine would
    never reach them (nor their errors)."""
    if max_rows is None:
        return list(dask.compute(*[dask.delayed(_survey)(p, given) for p in parts])), parts
    surveys, kept, left = [], [], max_rows
    for p in parts:
        p = _Part(p.path, p.byte_range, dict(p.options, max_rows=left))
        surveys.append(dask.compute(dask.delayed(_survey)(p, given))[0])
        kept.append(p)
        left -= surveys[-1][0]
        if left == 0:
            break
    return surveys, kept


def _settle_from_texts(parts, unsettled, value_options):
    """The dtypes of columns that the reports cannot settle, decided by the
    reader over every text of each column, gathered in one task."""
    names = [name for name, _ in unsettled]
    texts = [dask.delayed(_column_texts)(p, names) for p in parts]
    decided = [dask.delayed(_decide_from_texts)([t[name] for t in texts], value_options, dates)
               for name, dates in unsettled]
    return dict(zip(names, dask.compute(*decided)))


def _build(parts, names, dtypes, counts):
    """The dask arrays of the columns and of their missing masks."""
    token = tokenize(parts, names, dtypes, counts, [_stamp(p.path) for p in parts])
    read = f"tavrel-read-{token}"
    graph = {(read, i): (_read_part, part, None if counts is None else counts[i])
             for i, part in enumerate(parts)}
    chunks = ((math.nan,) * len(parts),) if counts is None else (tuple(counts),)
    data, missing = {}, {}
    for j, name in enumerate(names):
        for which, out, dtype in ((0, data, dtypes[name]), (1, missing, np.dtype(bool))):
            key = f"tavrel-{'column' if which == 0 else 'missing'}-{j}-{token}"
            layer = {(key, i): (_pick, (read, i), which, j) for i in range(len(parts))}
            layer.update(graph)
            out[name] = da.Array(layer, key, chunks, dtype=dtype, meta=np.empty((0,), dtype))
    return data, missing


def _stamp(path):
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns


# --- the entry point -----------------------------------------------------------------------------

def read_columns(paths_or_glob, blocksize="64MiB", **options):
    """Reads delimited text files with Dask; returns a DaskColumns.

    paths_or_glob: a path, a glob pattern (expanded, sorted) or a list of
    them; the files are read as one table, in that order, and must have the
    same columns.  Each file is cut into byte ranges of about `blocksize`
    bytes (an int, or a str such as "64MiB" or "1GB"; None reads each file
    whole), one task per range; a compressed file (.gz, .bz2, .xz, .zst) is
    read whole by one task.

    Options are those of tavrel.read_columns, checked here with the same
    errors.  Each file's header is read once, from its first row, and its
    names are given to every range.  Column types are decided by all values
    of all files: a survey of every range, computed now on the current Dask
    scheduler, decides them, and the returned arrays read each range with
    those dtypes (see the module's documentation).  skip_rows and a header
    below the first row number rows from a file's start: with them, each
    file is read whole by one task.  Each task reads on one core unless
    threads is given (Dask runs the tasks side by side).  progress is not
    supported (Dask's own diagnostics show progress); bad_rows="warn"
    warnings are issued here, once, each naming its file and range.

    When every column's dtype is given and neither max_rows nor
    bad_rows="warn" is used, there is no survey and the chunk lengths are
    unknown until computed.
    """
    plan = _reader._Plan("read_columns", options)
    size = _blocksize(blocksize)
    if plan.progress is not False:
        raise ValueError("progress is not supported by tavrel.dask.read_columns: use Dask's diagnostics")
    options = {k: v for k, v in options.items() if k != "progress"}
    options.setdefault("threads", 1)
    max_rows = options.pop("max_rows", None)
    paths = _paths(paths_or_glob)

    # Each file's names from its own header; the files must agree.
    names, parts = None, []
    for path in paths:
        if os.path.getsize(path) == 0:
            continue
        full = _full_names(path, options)
        if names is None:
            names, origin = full, path
        elif full != names:
            raise ValueError(f"{path!r} has columns {full} where {origin!r} has {names}")
        parts.extend(_split(path, full, size, options))
    if names is None:
        return DaskColumns({}, {}, 0)
    if plan.native["quote"] or plan.native["escape"]:
        parts = _at_row_starts(parts, options)
    kept, (_, kinds, units, allowed) = plan.resolve(names, len(names))
    value_options = {k: options[k] for k in _VALUE_OPTIONS if k in options}
    given = {n: _given_dtype(k, u) for n, k, u in zip(kept, kinds, units) if k >= 0}

    if len(given) == len(kept) and max_rows is None and options.get("bad_rows") != "warn":
        # Every dtype given: nothing to survey.
        dtypes, counts = given, None
    else:
        surveys, parts = _run_survey(parts, max_rows, set(given))
        for _, _, caught in surveys:
            for message in caught:
                warnings.warn(ParseWarning(message), stacklevel=2)
        dtypes, unsettled = dict(given), []
        for name, families in zip(kept, allowed):
            if name in given:
                continue
            dates = bool(families & _reader._DATETIME_FAMILY)
            decided = _reconcile([s[1][name] for s in surveys], value_options)
            if decided is None:
                unsettled.append((name, dates))
            else:
                dtypes[name] = decided
        if unsettled:
            dtypes.update(_settle_from_texts(parts, unsettled, value_options))
        counts = [s[0] for s in surveys]
    quiet = _quiet(options)
    final = [_Part(p.path, p.byte_range, dict(p.options, dtypes=dtypes, bad_rows=quiet)) for p in parts]
    data, missing = _build(final, kept, {n: _numpy_dtype(dtypes[n]) for n in kept}, counts)
    return DaskColumns(data, missing, None if counts is None else sum(counts))
