"""Text-to-number converters of the parser table, reached through the capsule.

Every result is compared bit for bit with a transcription of the converters'
algorithms into Python below (float arithmetic in Python is the same IEEE
double arithmetic, one rounding per operation).  The pure converters are
called with the interpreter lock released (plain ctypes prototypes); the
round-trip parser takes the lock itself, so it is called both ways;
object_to_double needs the lock held (a Python-API prototype, which also
turns the pending exception into a raise).
"""

import ctypes
import math
import re
import struct
import threading

import pytest
from hypothesis import example, given, strategies as st

pytest.importorskip("tavrel._libs.tavrel_parser", reason="the tavrel_parser module is not part of this build")

from support.parser_client import API, INT64_MAX, INT64_MIN, UINT64_MAX, Converters, UintScan  # noqa: E402

RANGE_ERROR = 34
ROUNDTRIP_OVERFLOW = 2147483647


@pytest.fixture(scope="module")
def api():
    return Converters(API)


# ---------------------------------------------------------------------------
# Python transcription of the converters' algorithms.  Marks are ints (0 for
# none); texts are bytes without NUL.

def _space(c):
    return c == 32 or 9 <= c <= 13


def _digit(c):
    return 48 <= c <= 57


def _upper(c):
    return c - 32 if 97 <= c <= 122 else c


def _mark(c, mark):
    return mark != 0 and c == mark


def _exponent_letter(c, mark):
    return mark != 0 and _upper(c) == _upper(mark)


def _start(t, decimal):
    """Index after whitespace and sign, the sign, and whether a number starts."""
    i = 0
    while _space(t[i]):
        i += 1
    negative = False
    if t[i] == 45:
        negative, i = True, i + 1
    elif t[i] == 43:
        i += 1
    ok = _digit(t[i]) or (_mark(t[i], decimal) and _digit(t[i + 1]))
    return i, negative, ok


def _exponent(t, i, bounded):
    """Reads an exponent after the letter at i: (new index, signed value)."""
    i += 1
    negative = False
    if t[i] == 45:
        negative, i = True, i + 1
    elif t[i] == 43:
        i += 1
    if not _digit(t[i]):
        return i - 1, 0
    n = 0
    count = 0
    while _digit(t[i]) and (not bounded or count < 17):
        n = n * 10 + t[i] - 48
        i += 1
        count += 1
    return i, -n if negative else n


def _finish(t, i, skip_trailing):
    if skip_trailing:
        while _space(t[i]):
            i += 1
    return i


def ref_fast(text, decimal=46, exponent=69, group=0, skip_trailing=1):
    t = text + b"\0\0"
    i, negative, ok = _start(t, decimal)
    if not ok:
        return 0.0, RANGE_ERROR, 1, None
    maybe_int = 1
    small, count = 0, 0
    while count < 9 and _digit(t[i]):
        small = small * 10 + t[i] - 48
        count += 1
        i += 1
        if _mark(t[i], group):
            i += 1
    number = float(small)
    while _digit(t[i]):
        number = number * 10.0 + (t[i] - 48)
        i += 1
        if _mark(t[i], group):
            i += 1
    exp = 0
    if _mark(t[i], decimal):
        maybe_int = 0
        i += 1
        while _digit(t[i]):
            number = number * 10.0 + (t[i] - 48)
            exp -= 1
            i += 1
    if negative:
        number = -number
    if _exponent_letter(t[i], exponent):
        maybe_int = 0
        i, n = _exponent(t, i, bounded=False)
        exp += n
    if exp < -1021 or exp > 1024:
        return math.inf, RANGE_ERROR, maybe_int, None
    if number != 0.0:
        power = 10.0
        n = abs(exp)
        while n:
            if n & 1:
                number = number / power if exp < 0 else number * power
            power *= power
            n >>= 1
    error = RANGE_ERROR if math.isinf(number) or math.isnan(number) else 0
    return number, error, maybe_int, _finish(t, i, skip_trailing)


POWERS = [float("1e%d" % k) for k in range(309)]


def ref_precise(text, decimal=46, exponent=69, group=0, skip_trailing=1):
    t = text + b"\0\0"
    i, negative, ok = _start(t, decimal)
    if not ok:
        return 0.0, RANGE_ERROR, 1, None
    maybe_int = 1
    number, kept, exp = 0.0, 0, 0
    while _digit(t[i]):
        d = t[i] - 48
        if kept < 17:
            if d or kept:
                number = number * 10.0 + d
                kept += 1
        else:
            exp += 1
        i += 1
        if _mark(t[i], group):
            i += 1
    if _mark(t[i], decimal):
        maybe_int = 0
        i += 1
        while _digit(t[i]):
            d = t[i] - 48
            if kept < 17:
                if d or kept:
                    number = number * 10.0 + d
                    kept += 1
                exp -= 1
            i += 1
    if negative:
        number = -number
    if _exponent_letter(t[i], exponent):
        maybe_int = 0
        i, n = _exponent(t, i, bounded=True)
        exp += n
    if exp > 308:
        return math.inf, RANGE_ERROR, maybe_int, None
    if exp > 0:
        number *= POWERS[exp]
    elif exp >= -308:
        number /= POWERS[-exp]
    elif exp >= -616:
        number = number / POWERS[-exp - 308] / POWERS[308]
    else:
        number = 0.0
    error = RANGE_ERROR if math.isinf(number) else 0
    return number, error, maybe_int, _finish(t, i, skip_trailing)


_FLOAT_PREFIX = re.compile(rb"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def ref_roundtrip(text, decimal=46, exponent=69, group=0, skip_trailing=1):
    del exponent  # E and e are always the exponent letters
    t = text + b"\0"
    copy = bytearray()
    i = 0
    while _space(t[i]):
        i += 1
    if t[i] in b"+-":
        copy.append(t[i])
        i += 1
    while _digit(t[i]):
        copy.append(t[i])
        i += 1
        if _mark(t[i], group):
            i += 1
    if _mark(t[i], decimal):
        copy += b"."
        i += 1
        while _digit(t[i]):
            copy.append(t[i])
            i += 1
    if t[i] in b"Ee":
        copy.append(t[i])
        i += 1
        if t[i] in b"+-":
            copy.append(t[i])
            i += 1
        while _digit(t[i]):
            copy.append(t[i])
            i += 1
    copy = bytes(copy)
    prefix = _FLOAT_PREFIX.match(copy)
    error = 0
    if prefix is None:
        # The interpreter's conversion raises and reports no progress; an
        # empty copy counts as wholly consumed.
        value, whole, raised = -1.0, copy == b"", True
    else:
        value, whole, raised = float(prefix.group()), prefix.end() == len(copy), False
    if not whole:
        error = -1
    if raised:
        error = -1
    elif math.isinf(value):
        error = ROUNDTRIP_OVERFLOW
    end = i if whole else 0
    if skip_trailing and end != 0:
        end = _finish(t, end, True)
    return value, error, 0, end


def _trunc_div10(v):
    q = abs(v) // 10
    return q if v >= 0 else -q


def ref_int64(text, lo=INT64_MIN, hi=INT64_MAX, group=0):
    t = text + b"\0"
    i = 0
    while _space(t[i]):
        i += 1
    negative = False
    if t[i] == 45:
        negative, i = True, i + 1
    elif t[i] == 43:
        i += 1
    if not _digit(t[i]):
        return 0, 1
    value = 0
    if negative:
        limit = _trunc_div10(lo)
        last = -(lo - 10 * limit)
    else:
        limit = _trunc_div10(hi)
        last = hi - 10 * limit
    first = True
    while True:
        if not first and _mark(t[i], group):
            i += 1
            continue
        first = False
        if not _digit(t[i]):
            break
        d = t[i] - 48
        if negative:
            if value > limit or (value == limit and d <= last):
                value = value * 10 - d
            else:
                return 0, 2
        else:
            if value < limit or (value == limit and d <= last):
                value = value * 10 + d
            else:
                return 0, 2
        i += 1
    while _space(t[i]):
        i += 1
    if t[i] != 0:
        return 0, 3
    return value, 0


def bits(x):
    return struct.pack("<d", x)


def assert_same_float_result(got, want):
    assert bits(got[0]) == bits(want[0]) or (math.isnan(got[0]) and math.isnan(want[0])), (
        got, want)
    assert got[1:] == want[1:], (got, want)


# ---------------------------------------------------------------------------
# Random numeric texts: sign, integer digits (often zero-padded, sometimes
# grouped), decimal part, exponent, surrounding whitespace and stray bytes.

MARKS = st.sampled_from([0, ord("."), ord(","), ord("e"), ord("E"), ord(" "), ord("'"),
                         ord("-"), ord("d"), ord("5")])

_digits = st.text(alphabet="0123456789", min_size=0, max_size=30).map(str.encode)
_zero_run = st.integers(0, 25).map(lambda n: b"0" * n)


@st.composite
def numeric_texts(draw):
    decimal = draw(st.sampled_from([ord("."), ord(","), 0]))
    exponent = draw(st.sampled_from([ord("E"), ord("e"), ord("D"), 0]))
    group = draw(st.sampled_from([0, 0, ord(","), ord("."), ord(" "), ord("'")]))
    parts = [draw(st.sampled_from([b"", b" ", b"\t", b" \r\n"])),
             draw(st.sampled_from([b"", b"-", b"+"])),
             draw(_zero_run), draw(_digits)]
    if group and draw(st.booleans()):
        body = b"".join(parts[2:])
        step = draw(st.integers(1, 4))
        parts[2:] = [bytes([group]).join(body[k:k + step] for k in range(0, len(body), step))]
    if decimal and draw(st.booleans()):
        parts += [bytes([decimal]), draw(_zero_run), draw(_digits)]
    if draw(st.booleans()):
        letter = draw(st.sampled_from([b"e", b"E", b"d", b"D"]))
        sign = draw(st.sampled_from([b"", b"-", b"+"]))
        digits = draw(st.text(alphabet="0123456789", min_size=0, max_size=5).map(str.encode))
        parts += [letter, sign, digits]
    parts.append(draw(st.sampled_from([b"", b" ", b"\n", b"x", b" 1", b"."])))
    return b"".join(parts), decimal, exponent, group


_any_bytes = st.binary(max_size=40).map(lambda b: b.replace(b"\0", b""))


def _call_args(decimal, exponent, group):
    return bytes([decimal]), bytes([exponent]), bytes([group])


# ---------------------------------------------------------------------------
# Float parsers against the transcription

@pytest.mark.parametrize("name", ["fast", "precise", "roundtrip"])
@given(case=numeric_texts(), skip=st.sampled_from([0, 1]))
@example(case=(b"0.00000000000000005", 46, 69, 0), skip=1)
@example(case=(b"00000000000000000123", 46, 69, 0), skip=1)
@example(case=(b"-1e-1022", 46, 69, 0), skip=1)
@example(case=(b"-1e400", 46, 69, 0), skip=1)
@example(case=(b"1.5e-320", 46, 69, 0), skip=1)
@example(case=(b"1,5", 44, 69, 44), skip=1)
@example(case=(b"123456789012345678901", 46, 69, 0), skip=0)
@example(case=(b"0." + b"0" * 40 + b"25", 46, 69, 0), skip=1)
@example(case=(b"-2e400", 46, 69, 0), skip=1)
@example(case=(b"-9e308", 46, 69, 0), skip=1)
@example(case=(b"-1e-700", 46, 69, 0), skip=1)
@example(case=(b"0e1000", 46, 69, 0), skip=1)
def test_float_parsers_match_their_algorithms(api, name, case, skip):
    text, decimal, exponent, group = case
    ref = {"fast": ref_fast, "precise": ref_precise, "roundtrip": ref_roundtrip}[name]
    got = getattr(api, name)(text, *_call_args(decimal, exponent, group), skip_trailing=skip)
    assert_same_float_result(got, ref(text, decimal, exponent, group, skip))


@pytest.mark.parametrize("name", ["fast", "precise", "roundtrip"])
@given(text=_any_bytes, decimal=MARKS, exponent=MARKS, group=MARKS)
def test_float_parsers_on_arbitrary_bytes(api, name, text, decimal, exponent, group):
    ref = {"fast": ref_fast, "precise": ref_precise, "roundtrip": ref_roundtrip}[name]
    got = getattr(api, name)(text, *_call_args(decimal, exponent, group))
    assert_same_float_result(got, ref(text, decimal, exponent, group))


@given(case=numeric_texts())
def test_roundtrip_takes_the_lock_itself(api, case):
    text, decimal, exponent, group = case
    args = _call_args(decimal, exponent, group)
    released = api.roundtrip(text, *args)
    held = api.roundtrip(text, *args, locked=True)
    assert_same_float_result(released, held)


def test_roundtrip_from_several_threads_with_the_lock_released(api):
    texts = [b"%d.%03d" % (i, i % 997) for i in range(1500)] + [b"1e999", b"x"]
    expected = [ref_roundtrip(t) for t in texts]
    failures = []

    def work():
        for text, want in zip(texts, expected):
            got = api.roundtrip(text)
            if got != want:
                failures.append((text, got, want))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# ---------------------------------------------------------------------------
# Float parsers: the stated corner cases, spelled out

def test_float_parsers_without_digits(api):
    for name in ("fast", "precise"):
        for text in (b"", b"  ", b"-", b"+", b".", b"-.e5", b"e5", b"inf", b"nan"):
            assert getattr(api, name)(text) == (0.0, RANGE_ERROR, 1, None), (name, text)


def test_exponent_letter_without_digits_ends_at_the_letter(api):
    for name in ("fast", "precise"):
        assert getattr(api, name)(b"12e")[2:] == (0, 2)
        assert getattr(api, name)(b"12e-")[2:] == (0, 3)
    assert api.text_to_double(b"12e") == (0, 12.0, 0)
    assert api.text_to_double(b"12e-") == (0, 12.0, 0)


def test_roundtrip_errors(api):
    # A copy that is not a complete number: error -1, end at the start.
    assert api.roundtrip(b"  1e+") == (1.0, -1, 0, 0)
    assert api.roundtrip(b"-") == (-1.0, -1, 0, 0)
    assert api.roundtrip(b"1,234.5", group=b",") == (1234.5, 0, 0, 7)
    assert api.roundtrip(b"1e999") == (math.inf, ROUNDTRIP_OVERFLOW, 0, 5)
    assert api.roundtrip(b"-1e999") == (-math.inf, ROUNDTRIP_OVERFLOW, 0, 6)
    assert api.roundtrip(b"0.1 x") == (0.1, 0, 0, 4)
    assert api.roundtrip(b"0.1 x", skip_trailing=0) == (0.1, 0, 0, 3)


# ---------------------------------------------------------------------------
# text_to_double and object_to_double

@given(case=numeric_texts())
def test_text_to_double_is_the_precise_parser_on_the_whole_text(api, case):
    text, decimal, exponent, _ = case
    ok, value, maybe_int = api.text_to_double(text, bytes([exponent]), bytes([decimal]))
    ref_value, ref_error, ref_maybe, ref_end = ref_precise(text, decimal, exponent, 0, 1)
    assert bits(value) == bits(ref_value)
    assert maybe_int == ref_maybe
    assert ok == int(ref_error == 0 and ref_end == len(text))


@pytest.mark.parametrize("spelling,expected", [
    (b"inf", math.inf), (b"INF", math.inf), (b"+Inf", math.inf), (b"-iNF", -math.inf),
    (b"Infinity", math.inf), (b"+INFINITY", math.inf), (b"-Infinity", -math.inf),
    (b"-INFINITY", -math.inf), ("-infinity", -math.inf),
])
def test_object_to_double_infinity_spellings(api, spelling, expected):
    assert api.object_to_double(spelling) == (expected, 0)


@given(case=numeric_texts(), as_str=st.booleans())
def test_object_to_double_matches_the_precise_parser(api, case, as_str):
    text = case[0]
    obj = text.decode("ascii") if as_str else text
    value, error, maybe_int, end = ref_precise(text, 46, 69, 0, 1)
    if error == 0 and end == len(text):
        assert api.object_to_double(obj) == (value, maybe_int)
    else:
        with pytest.raises(ValueError) as info:
            api.object_to_double(obj)
        assert str(info.value) == 'Unable to parse string "%s"' % text.decode("ascii")


def test_object_to_double_errors(api):
    assert api.object_to_double(b" 1.5E2 ") == (150.0, 0)
    assert api.object_to_double("42") == (42.0, 1)
    with pytest.raises(ValueError, match=r'^Unable to parse string "1e999"$'):
        api.object_to_double(b"1e999")
    with pytest.raises(ValueError, match=r'^Unable to parse string " inf"$'):
        api.object_to_double(" inf")
    with pytest.raises(ValueError, match=r'^Unable to parse string "1"$'):
        api.object_to_double(b"1\x002")  # an embedded NUL is not the end of the text
    for wrong in (1.5, 2, None, bytearray(b"1"), memoryview(b"1")):
        with pytest.raises(TypeError, match="^Invalid object type$"):
            api.object_to_double(wrong)
    with pytest.raises(UnicodeEncodeError):
        api.object_to_double("\ud800")
    # Non-ASCII text is quoted as it came.
    with pytest.raises(ValueError, match='^Unable to parse string "1,5€"$'):
        api.object_to_double("1,5€")


# ---------------------------------------------------------------------------
# Integer parsers

@given(text=st.one_of(numeric_texts().map(lambda c: c[0]), _any_bytes,
                      st.integers(INT64_MIN - 10, INT64_MAX + 10).map(lambda v: b"%d" % v)),
       group=MARKS,
       bounds=st.sampled_from([(INT64_MIN, INT64_MAX), (-128, 127), (0, 255), (-1000, 0),
                               (5, 10), (-10, -5), (INT64_MIN, -1)]))
@example(text=b"1,,2,", group=44, bounds=(INT64_MIN, INT64_MAX))
def test_parse_int64_matches_its_algorithm(api, text, group, bounds):
    assert api.parse_int64(text, *bounds, group=bytes([group])) == ref_int64(
        text, *bounds, group=group)


def test_parse_int64_corner_cases(api):
    assert api.parse_int64(b"9223372036854775807") == (INT64_MAX, 0)
    assert api.parse_int64(b"9223372036854775808") == (0, 2)
    assert api.parse_int64(b"-9223372036854775808") == (INT64_MIN, 0)
    assert api.parse_int64(b"1,234,567", group=b",") == (1234567, 0)
    assert api.parse_int64(b"1,,2", group=b",") == (12, 0)
    assert api.parse_int64(b"12,", group=b",") == (12, 0)
    assert api.parse_int64(b"1,234") == (0, 3)
    assert api.parse_int64(b" \t 17 \n") == (17, 0)
    assert api.parse_int64(b"") == (0, 1)
    assert api.parse_int64(b"-") == (0, 1)


def test_parse_uint64_and_the_scan_record(api):
    scan = UintScan(3, 3, 3)
    API.uint_scan_reset(ctypes.byref(scan))
    assert (scan.seen_negative, scan.seen_above_signed, scan.seen_missing) == (0, 0, 0)
    assert api.parse_uint64(scan, b"18446744073709551615") == (UINT64_MAX, 0)
    assert api.parse_uint64(scan, b"18446744073709551616") == (0, 2)
    assert scan.seen_above_signed == 1
    assert API.uint_scan_conflict(ctypes.byref(scan)) == 0
    assert api.parse_uint64(scan, b"-1") == (0, 0)
    assert scan.seen_negative == 1
    assert API.uint_scan_conflict(ctypes.byref(scan)) == 1

    scan = UintScan(0, 0, 1)
    assert API.uint_scan_conflict(ctypes.byref(scan)) == 0
    assert api.parse_uint64(scan, b"9 223 372 036 854 775 808", group=b" ") == (2**63, 0)
    assert API.uint_scan_conflict(ctypes.byref(scan)) == 1
    assert api.parse_uint64(scan, b" + ") == (0, 1)
    assert api.parse_uint64(scan, b"7 x") == (0, 3)


@given(text=st.one_of(_any_bytes, st.integers(-5, UINT64_MAX + 10).map(lambda v: b"%d" % v)),
       signed_max=st.sampled_from([INT64_MAX, 127, -1]),
       hi=st.sampled_from([UINT64_MAX, 255, 0]))
def test_parse_uint64_matches_its_algorithm(api, text, signed_max, hi):
    scan = UintScan()
    got = api.parse_uint64(scan, text, signed_max, hi)
    body = text.lstrip(b" \t\n\v\f\r")
    if body.startswith(b"-"):
        assert got == (0, 0) and scan.seen_negative == 1
        return
    # Without a sign to fear, the signed transcription over [0, hi] is the
    # unsigned algorithm (Python integers do not wrap).
    value, error = ref_int64(text, 0, hi)
    assert got == (value, error)
    assert scan.seen_above_signed == int(error == 0 and value > signed_max % 2**64)
    assert scan.seen_negative == 0


def test_parse_bool(api):
    for text in (b"true", b"True", b"TRUE", b"tRUe"):
        assert api.parse_bool(text) == (0, 1)
    for text in (b"false", b"FALSE", b"False"):
        assert api.parse_bool(text) == (0, 0)
    for text in (b"true ", b" false", b"", b"1", b"0", b"yes", b"tru", b"falsey"):
        assert api.parse_bool(text) == (-1, 9)
