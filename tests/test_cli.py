"""The command line, ``python3 -m tavrel``, run as a user runs it: in a child process."""

import csv
import datetime
import gzip
import io
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import tavrel

TEXT_TYPES = ("StringDType", "object (str)")


def run_cli(*args, stdin=b""):
    result = subprocess.run([sys.executable, "-P", "-m", "tavrel", *map(str, args)], input=stdin,
                            capture_output=True, timeout=900,
                            env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def table(stdout):
    """The column lines of a summary: {name: (type, count, missing, range, sample)}, and the totals."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["column", "type"])
    columns = {}
    for line in lines[start + 1:]:
        if line.lstrip().startswith("rows "):
            totals = dict(zip(*[iter(line.split())] * 2))
            return columns, totals
        name, *cells = re.split(r"\s{2,}", line.strip())
        columns[name] = tuple(cells)
    raise AssertionError(f"no totals line in {stdout!r}")


def count(text):
    return int(text.replace(",", ""))


# --- the sample ----------------------------------------------------------------

def test_sample_shows_every_kind_of_column_and_reports_the_bad_row():
    from tavrel._sample import sample_bytes

    data = sample_bytes()
    status, out, err = run_cli()
    assert status == 0, err
    columns, totals = table(out)

    text = data.decode("utf-8")
    records = list(csv.reader(io.StringIO(text, newline="")))
    header, body = records[0], [r for r in records[1:] if len(r) == len(records[0])]
    # Rows are numbered as records from 1 (the header is row 1): a quoted field
    # with line breaks is one row.
    bad_row = next(i for i, record in enumerate(records, 1) if record[-1] == "unexpected")
    assert len(records) - 1 - len(body) == 1

    assert list(columns) == header
    kinds = {name: cells[0] for name, cells in columns.items()}
    assert kinds == {"id": "int64", "day": "datetime64[D]", "stamp": "datetime64[ms]", "station": kinds["station"],
                     "temp_c": "float64", "count": "int64", "ok": "bool", "serial": "uint64", "note": kinds["note"]}
    assert kinds["station"] in TEXT_TYPES and kinds["note"] in TEXT_TYPES
    for i, name in enumerate(header):
        missing = sum(1 for r in body if r[i] == "")
        assert (count(columns[name][1]), count(columns[name][2])) == (len(body) - missing, missing), name

    ints = [int(r[header.index("count")]) for r in body if r[header.index("count")]]
    assert columns["count"][3] == f"{min(ints)} .. {max(ints)}"
    # Date-times with zone offsets are read as UTC.
    stamps = [datetime.datetime.fromisoformat(r[2]).astimezone(datetime.timezone.utc).replace(tzinfo=None)
              for r in body]
    assert columns["stamp"][3] == f"{np.datetime64(min(stamps), 'ms')} .. {np.datetime64(max(stamps), 'ms')}"

    assert (count(totals["rows"]), count(totals["bytes"])) == (len(body), len(data))
    assert float(totals["seconds"]) > 0 and float(totals["MB/s"]) > 0
    warnings = err.splitlines()
    assert len(warnings) == 1 and "warning" in warnings[0] and f"row {bad_row}" in warnings[0]


# --- files -----------------------------------------------------------------------

SMALL = (b'name,when,amount,flag\n'
         b'"Smith, J",2024-01-05,12.5,true\n'
         b'"line\nbreak",2024-02-29,,false\n'
         b'plain,2023-12-31,-3.25,\n')


def check_small(out, nbytes):
    columns, totals = table(out)
    assert columns["name"][0] in TEXT_TYPES and columns["name"][1:3] == ("3", "0")
    assert columns["when"][:4] == ("datetime64[D]", "3", "0", "2023-12-31 .. 2024-02-29")
    assert columns["amount"][:4] == ("float64", "2", "1", "-3.25 .. 12.5")
    assert columns["amount"][4] == "12.5, -3.25"
    assert columns["flag"][:3] == ("bool", "2", "1")
    assert (totals["rows"], count(totals["bytes"])) == ("3", nbytes)


def test_a_file_a_compressed_file_and_standard_input_give_the_same_table(tmp_path):
    plain = tmp_path / "small.csv"
    plain.write_bytes(SMALL)
    packed = tmp_path / "small.csv.gz"
    packed.write_bytes(gzip.compress(SMALL))

    for args, stdin, nbytes in (([plain], b"", len(SMALL)), ([packed], b"", packed.stat().st_size),
                                (["-"], SMALL, len(SMALL))):
        status, out, err = run_cli(*args, stdin=stdin)
        assert (status, err) == (0, ""), args
        assert out.splitlines()[0] == (str(args[0]) if args[0] != "-" else "<stdin>")
        check_small(out, nbytes)


def test_options_reach_the_reader(tmp_path):
    path = tmp_path / "semi.txt"
    path.write_bytes(b"# made by hand\n1;NA;x\n2;2.5;y\n3;4;z\n")
    status, out, err = run_cli(path, "--sep", ";", "--comment", "#", "--no-header", "--names", "a,b,c",
                               "--columns", "1,0", "--max-rows", "2", "--missing", "NA", "--dtype", "a=float64")
    assert (status, err) == (0, "")
    columns, totals = table(out)
    assert sorted(columns) == ["a", "b"]
    assert columns["a"][:4] == ("float64", "2", "0", "1 .. 2")
    assert columns["b"][:4] == ("float64", "1", "1", "2.5 .. 2.5")
    assert totals["rows"] == "2"


def test_every_file_is_read_and_unreadable_ones_are_reported(tmp_path):
    good = tmp_path / "good.csv"
    good.write_bytes(SMALL)
    status, out, err = run_cli(tmp_path / "absent.csv", good, tmp_path, good)
    assert status == 1
    assert out.count("rows 3") == 2
    lines = err.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith(f"{tmp_path / 'absent.csv'}: error:") and lines[1].startswith(f"{tmp_path}: error:")


# --- errors ------------------------------------------------------------------------

@pytest.mark.parametrize("args, named", [
    (["--bogus"], "--bogus"),
    (["--sep"], "--sep"),
    (["--max-rows", "many"], "--max-rows"),
    (["--max-rows", "-1"], "--max-rows"),
    (["--bad-rows", "maybe"], "--bad-rows"),
    (["--float-algorithm", "slow"], "--float-algorithm"),
    (["--quote", "'", "--no-quote"], "--no-quote"),
    (["--header", "1", "--no-header"], "--no-header"),
    (["--dtype", "amount"], "--dtype"),
    (["--chunk-bytes", "lots"], "--chunk-bytes"),
    # Values only the reader can judge are usage errors as well, naming the flag.
    (["--sep", ";;", "FILE"], "--sep"),
    (["--quote", "ab", "FILE"], "--quote"),
    (["--chunk-bytes", "0", "FILE"], "--chunk-bytes"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, args, named):
    path = tmp_path / "small.csv"
    path.write_bytes(SMALL)
    status, out, err = run_cli(*[path if a == "FILE" else a for a in args])
    assert (status, out) == (2, "")
    assert len(err.splitlines()) == 1 and "error" in err and named in err, err


# The bad row is the third record (on the fourth line).
BAD_ROW_3 = b'a,b\n1,"two\nlines"\n2,x,extra\n3,y\n'


def test_a_data_error_exits_1_naming_the_row(tmp_path):
    path = tmp_path / "bad.csv"
    path.write_bytes(BAD_ROW_3)
    status, out, err = run_cli(path)
    assert (status, out) == (1, "")
    assert len(err.splitlines()) == 1 and "row 3" in err and str(path) in err

    status, out, err = run_cli(path, "--bad-rows", "warn")
    assert status == 0 and table(out)[1]["rows"] == "2"
    assert len(err.splitlines()) == 1 and "warning" in err and "row 3" in err

    status, out, err = run_cli(path, "--bad-rows", "skip")
    assert (status, err) == (0, "") and table(out)[1]["rows"] == "2"


def test_invalid_utf8_is_a_data_error_unless_a_handler_is_given(tmp_path):
    path = tmp_path / "latin1.csv"
    path.write_bytes(b"city\nK\xf8benhavn\n")
    status, out, err = run_cli(path)
    assert (status, out) == (1, "") and str(path) in err
    status, out, err = run_cli(path, "--encoding-errors", "replace")
    assert (status, err) == (0, "") and "K\ufffdbenhavn" in out


def test_help_documents_every_option():
    status, out, err = run_cli("--help")
    assert (status, err) == (0, "")
    for flag in ("--sep", "--quote", "--no-quote", "--no-quote-doubling", "--escape", "--comment", "--header",
                 "--no-header", "--names", "--columns", "--skip-rows", "--skip-row-numbers", "--max-rows",
                 "--bad-rows", "--encoding-errors", "--keep-blank-rows", "--decimal-mark", "--group-mark",
                 "--float-algorithm", "--dtype", "--missing", "--true", "--false", "--no-dates", "--date-columns",
                 "--date-format", "--chunk-bytes", "--progress"):
        assert re.search(rf"^\s+{flag}\b", out, re.M), flag
