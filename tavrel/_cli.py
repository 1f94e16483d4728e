"""``python3 -m tavrel``: read delimited text files into typed columns and summarise them.

For every file: one line per column (name, type, count of present values,
count of missing values, smallest and largest value or, for text and flags,
the most frequent values, and the first values), then the rows, bytes,
seconds and MB/s of the read.  With no file, a sample made in memory is read.

Exit status: 0 when every file was read, 1 when a file could not be read or
held a data error (the message names the row), 2 on a usage error (one line
on standard error), 130 when interrupted.
"""

import argparse
import collections
import os
import sys
import time
import warnings

import numpy as np

import tavrel

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# How many values the summary shows in the "sample" column and as most frequent.
SAMPLE_VALUES = 3
# Widest value shown before it is cut with "...", and widest cells of lists of values.
VALUE_WIDTH = 24
RANGE_WIDTH = 52
SAMPLE_WIDTH = 40
# Warnings printed per file before the rest are only counted.
WARNINGS_SHOWN = 10

DESCRIPTION = """\
Reads delimited text files into typed NumPy columns with tavrel.read_columns
and prints, for each file, every column's name, type, count, missing count,
min/max (or the most frequent values for text and flags) and first values,
then the rows, bytes, seconds and MB/s of the read.

With no FILE, a few MB of mixed sample data made in memory is read (dates,
date-times with zone offsets, quoted fields holding separators and line
breaks, missing values and one bad row, read with --bad-rows warn)."""

EPILOG = """\
Single characters (--sep, --quote, ...) may be given as \\t or "tab" for a tab.
Positions in --columns, --dtype and --date-columns count from 0, and so do
the row numbers of --skip-row-numbers (the file's first row is row 0).
A row is a record: a quoted field holding line breaks stays within one row.
Exit status: 0 success, 1 a file could not be read or holds a data error
(the message names the row, counting the first row as 1), 2 usage error,
130 interrupted."""


class UsageError(Exception):
    """A bad command line, reported in one line with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def _char(text):
    """A single-character option: also accepts \\t and "tab"."""
    return "\t" if text in ("\\t", "tab", "TAB") else text


def _whole(text, least=0, scale=1):
    """A whole number of at least ``least`` (after multiplying by ``scale``)."""
    try:
        value = int(text) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {least} or more, not {value}")
    return value


def _count(text):
    return _whole(text)


def _size(text):
    """A byte count, with an optional K, M or G suffix (powers of 1024)."""
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    return _whole(text[:-1] if scale != 1 else text, least=1, scale=scale)


def _column_ref(text):
    """A column given by name, or by position when it is a plain number."""
    return int(text) if text.isdigit() else text


def _column_list(text):
    return [_column_ref(item) for item in text.split(",") if item != ""]


def _dtype_pair(text):
    column, eq, dtype = text.rpartition("=")
    if not eq or not column or not dtype:
        raise argparse.ArgumentTypeError(f"expected COLUMN=TYPE, not {text!r}")
    return _column_ref(column), dtype


def build_parser(prog):
    # Options that are not given stay out of the namespace, so that the reader's own defaults apply.
    p = _Parser(prog=prog, usage=f"{prog} [FILE ...] [options]", description=DESCRIPTION, epilog=EPILOG,
                formatter_class=argparse.RawDescriptionHelpFormatter, argument_default=argparse.SUPPRESS)
    p.add_argument("files", nargs="*", default=[], metavar="FILE",
                   help="a path (.gz, .bz2, .xz and, where Python has it, .zst are read transparently), "
                        "or - for standard input")

    g = p.add_argument_group("dialect")
    g.add_argument("--sep", type=_char, metavar="CHAR", help='field separator (default ",")')
    quoting = g.add_mutually_exclusive_group()
    quoting.add_argument("--quote", type=_char, metavar="CHAR", help="quote character (default '\"')")
    quoting.add_argument("--no-quote", dest="quote", action="store_const", const=None,
                         help="no quoting: quote characters are ordinary text")
    g.add_argument("--no-quote-doubling", dest="quote_doubling", action="store_false",
                   help='inside quotes, "" is not read as one quote character')
    g.add_argument("--escape", type=_char, metavar="CHAR", help="escape character (default: none)")
    g.add_argument("--comment", type=_char, metavar="CHAR",
                   help="comment character: the rest of a line after it is ignored (default: none)")

    g = p.add_argument_group("rows and columns")
    heading = g.add_mutually_exclusive_group()
    heading.add_argument("--header", type=_count, metavar="N",
                         help="row holding the column names, counted from 0 after skipped rows (default 0)")
    heading.add_argument("--no-header", dest="header", action="store_const", const=None,
                         help='no header row: columns are named "0", "1", ... unless --names is given')
    g.add_argument("--names", type=lambda t: t.split(","), metavar="A,B,...", help="column names, comma-separated")
    g.add_argument("--columns", type=_column_list, metavar="LIST",
                   help="columns to keep, comma-separated names or positions")
    skipping = g.add_mutually_exclusive_group()
    skipping.add_argument("--skip-rows", dest="skip_rows", type=_count, metavar="N",
                          help="skip the first N rows of the file")
    skipping.add_argument("--skip-row-numbers", dest="skip_rows", type=lambda t: {_count(x) for x in t.split(",")},
                          metavar="LIST", help="skip these source rows (comma-separated row numbers)")
    g.add_argument("--max-rows", type=_count, metavar="N", help="read at most N rows")
    g.add_argument("--bad-rows", choices=("error", "warn", "skip"),
                   help="rows with the wrong number of fields: stop with an error (default), warn and drop, "
                        "or drop silently; the sample is read with warn")
    g.add_argument("--keep-blank-rows", dest="drop_blank_rows", action="store_false",
                   help="keep blank lines as rows (default: dropped)")
    g.add_argument("--encoding-errors", metavar="HANDLER",
                   help="how invalid UTF-8 is handled: strict (default), replace, ignore, surrogateescape, ...")

    g = p.add_argument_group("values")
    g.add_argument("--dtype", dest="dtypes", type=_dtype_pair, action="append", metavar="COLUMN=TYPE",
                   help="type of a column: int64, uint64, float64, bool, datetime64[UNIT] or str "
                        "(repeatable; default: decided by all of the column's values)")
    g.add_argument("--missing", dest="missing_values", action="append", metavar="TEXT",
                   help="text meaning a missing value (repeatable; default: only the empty field)")
    g.add_argument("--true", dest="true_values", action="append", metavar="TEXT",
                   help="spelling of true in bool columns (repeatable)")
    g.add_argument("--false", dest="false_values", action="append", metavar="TEXT",
                   help="spelling of false in bool columns (repeatable)")
    dates = g.add_mutually_exclusive_group()
    dates.add_argument("--no-dates", dest="parse_dates", action="store_false",
                       help="keep ISO 8601 dates and date-times as text")
    dates.add_argument("--date-columns", dest="parse_dates", type=_column_list, metavar="LIST",
                       help="read dates and date-times only in these columns (names or positions)")
    g.add_argument("--date-format", metavar="FORMAT", help="ISO 8601 format that date-times must match")
    g.add_argument("--decimal-mark", type=_char, metavar="CHAR", help='decimal mark of numbers (default ".")')
    g.add_argument("--group-mark", type=_char, metavar="CHAR",
                   help="digit-group mark of numbers, e.g. , in 1,204 (default: none)")
    g.add_argument("--float-algorithm", choices=("exact", "fast", "precise", "roundtrip"),
                   help="exact (default) is correctly rounded, equal to Python's float(); "
                        "fast and precise trade that for speed; roundtrip goes through Python")

    g = p.add_argument_group("reading")
    g.add_argument("--chunk-bytes", type=_size, metavar="SIZE", help="bytes read at a time, e.g. 4M")
    g.add_argument("--progress", action="store_const", const=True,
                   help="show a progress bar on standard error for large inputs")
    return p


# Command-line flag of each reader option, for messages.
def _flag(option):
    return "--" + {"parse_dates": "date-columns", "missing_values": "missing", "true_values": "true",
                   "false_values": "false", "dtypes": "dtype",
                   "drop_blank_rows": "keep-blank-rows"}.get(option, option.replace("_", "-"))


def reader_options(args):
    """The keyword arguments for tavrel.read_columns given on the command line.

    Options not given are absent (the parser's defaults are not repeated here);
    those whose value may be None (--no-quote, --no-header) are present when given.
    """
    options = {name: value for name, value in vars(args).items() if name != "files"}
    if "dtypes" in options:
        options["dtypes"] = dict(options["dtypes"])
    return options


# --- the summary -------------------------------------------------------------

def _text(value):
    """A short one-line rendering of one value."""
    if isinstance(value, (str, np.str_)):
        shown = repr(str(value))
    elif isinstance(value, (float, np.floating)):
        shown = f"{float(value):.6g}"
    elif isinstance(value, np.datetime64):
        shown = str(value)
    else:
        shown = str(value)
    return shown if len(shown) <= VALUE_WIDTH else shown[:VALUE_WIDTH - 3] + "..."


def _type_name(dtype):
    if dtype == object:
        return "object (str)"
    if dtype.kind == "T":
        return "StringDType"
    return str(dtype)


def _most_frequent(values):
    """The most frequent values with their counts, most frequent first."""
    try:
        uniques, counts = np.unique(values, return_counts=True)
    except TypeError:
        pairs = collections.Counter(values.tolist()).most_common(SAMPLE_VALUES)
    else:
        order = np.argsort(-counts, kind="stable")[:SAMPLE_VALUES]
        pairs = [(uniques[i], int(counts[i])) for i in order]
    return _fit([f"{_text(v)} ({n})" for v, n in pairs], RANGE_WIDTH)


def _fit(parts, width):
    """Comma-separated parts, as many as fit in ``width`` characters (at least one)."""
    shown = parts[:1]
    for part in parts[1:]:
        if len(", ".join(shown + [part])) > width:
            break
        shown.append(part)
    return ", ".join(shown)


def _range_or_frequent(data, present):
    values = data[present]
    kind = data.dtype.kind
    if kind == "f":
        values = values[~np.isnan(values)]
    elif kind == "M":
        values = values[~np.isnat(values)]
    if values.size == 0:
        return "-"
    if kind in "iufM":
        return f"{_text(values.min())} .. {_text(values.max())}"
    return _most_frequent(values)


def column_lines(cols):
    """One row of cells per column: name, type, count, missing, range or most frequent, sample."""
    rows = []
    for name, data in cols.items():
        missing = np.asarray(cols.missing[name], dtype=bool)
        present = ~missing
        first = np.flatnonzero(present[:1000])[:SAMPLE_VALUES]
        sample = _fit([_text(data[i]) for i in first], SAMPLE_WIDTH) or "-"
        rows.append((name, _type_name(data.dtype), f"{int(present.sum()):,}", f"{int(missing.sum()):,}",
                     _range_or_frequent(data, present), sample))
    return rows


def aligned(header, rows, numeric=()):
    """Rows of cells as aligned text lines; columns whose index is in ``numeric`` are right-aligned."""
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    lines = []
    for r in [header, *rows]:
        cells = [str(c).rjust(w) if i in numeric else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def summary(title, cols, nbytes, seconds):
    header = ("column", "type", "count", "missing", "min .. max / most frequent", "sample")
    lines = [title, *("  " + line for line in aligned(header, column_lines(cols), numeric=(2, 3)))]
    rate = nbytes / seconds / 1e6 if seconds > 0 else float("inf")
    lines.append(f"  rows {cols.nrows:,}   bytes {nbytes:,}   seconds {seconds:.3f}   MB/s {rate:.1f}")
    return "\n".join(lines)


# --- reading -----------------------------------------------------------------

class _CountingReader:
    """Standard input for the reader, counting the bytes it hands out."""

    def __init__(self, stream):
        self.stream = stream
        self.nbytes = 0

    def read(self, size=-1):
        data = self.stream.read(size)
        self.nbytes += len(data)
        return data


def _report_warnings(label, caught, err):
    for w in caught[:WARNINGS_SHOWN]:
        print(f"{label}: warning: {w.message}", file=err)
    if len(caught) > WARNINGS_SHOWN:
        print(f"{label}: warning: ... and {len(caught) - WARNINGS_SHOWN} more", file=err)


def _option_in_message(exc, options):
    """The reader option a TypeError or ValueError names, if it names one given here."""
    text = str(exc)
    for name in options:
        if name in text.replace("-", "_"):
            return name
    return None


def read_one(label, source, nbytes, options, err):
    """Read one source; returns its summary, or None after reporting a data error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        started = time.perf_counter()
        try:
            cols = tavrel.read_columns(source, **options)
        except tavrel.ParseError as exc:
            _report_warnings(label, caught, err)
            row = getattr(exc, "row", None)
            where = f"row {row}: " if row is not None and f"row {row}" not in str(exc) else ""
            print(f"{label}: error: {where}{exc}", file=err)
            return None
        except (TypeError, ValueError, OSError) as exc:
            # The reader names the option in its message when a value it was given is bad.
            option = None if isinstance(exc, (UnicodeError, OSError)) else _option_in_message(exc, options)
            if option is not None:
                raise UsageError(f"{_flag(option)}: {exc}") from None
            _report_warnings(label, caught, err)
            print(f"{label}: error: {exc}", file=err)
            return None
        seconds = time.perf_counter() - started
    _report_warnings(label, caught, err)
    if callable(nbytes):
        nbytes = nbytes()
    return summary(label, cols, nbytes, seconds)


def run(argv, out, err, prog):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    options = reader_options(args)
    if not hasattr(tavrel, "read_columns"):
        print(f"{prog}: error: this build of tavrel has no column reader (tavrel.read_columns)", file=err)
        return EXIT_DATA
    if not args.files:
        from tavrel._sample import sample_bytes

        data = sample_bytes()
        options.setdefault("bad_rows", "warn")
        print(f"No FILE given: reading a sample of {len(data):,} bytes made in memory. Its first lines:", file=out)
        for line in data[:400].decode("utf-8").split("\n")[:4]:
            print("  " + line, file=out)
        print(file=out)
        sources = [("sample", data, len(data))]
    else:
        sources = (_source(path, err) for path in args.files)
    status = 0
    shown = 0
    for label, source, nbytes in sources:
        text = None if source is None else read_one(label, source, nbytes, options, err)
        if text is None:
            status = EXIT_DATA
            continue
        print(("\n" if shown else "") + text, file=out, flush=True)
        shown += 1
    return status


def _source(path, err):
    """(label, source, byte count) of one FILE argument; the source is None when it cannot be read."""
    if path == "-":
        stream = _CountingReader(sys.stdin.buffer)
        return "<stdin>", stream, lambda: stream.nbytes
    if os.path.isdir(path):
        print(f"{path}: error: is a directory", file=err)
        return path, None, 0
    try:
        return path, path, os.path.getsize(path)
    except OSError as exc:
        print(f"{path}: error: {exc.strerror or exc}", file=err)
        return path, None, 0


def main(argv=None):
    prog = f"{os.path.basename(sys.executable) or 'python3'} -m tavrel"
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        return run(sys.argv[1:] if argv is None else argv, sys.stdout, sys.stderr, prog)
    except UsageError as exc:
        message = " ".join(str(exc).split())
        print(f"{prog}: error: {message} (see --help)", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_DATA
