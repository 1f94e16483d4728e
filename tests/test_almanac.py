"""Calendar functions and name tables of tavrel._libs.tslibs.almanac."""

import calendar
import datetime
import os
import subprocess
import sys
import textwrap
import traceback

import pytest
from hypothesis import given, strategies as st

from tavrel._libs.tslibs import almanac

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
EMULATED = os.environ.get("TAVREL_TARGET_ARCH") == "armhf"

FUNCTIONS = {
    # name: parameters
    "get_days_in_month": ("year", "month"),
    "get_day_of_year": ("year", "month", "day"),
    "get_week_of_year": ("year", "month", "day"),
    "get_iso_calendar": ("year", "month", "day"),
    "get_firstbday": ("year", "month"),
    "get_lastbday": ("year", "month"),
}


# ---------------------------------------------------------------------------
# First-principles proleptic Gregorian oracle, for years datetime cannot hold.


def days_from_civil(y, m, d):
    """Days from 1970-01-01, counting 400-year eras of 146097 days."""
    y -= m <= 2
    era = y // 400
    yoe = y - era * 400
    doy = (153 * (m - 3 if m > 2 else m + 9) + 2) // 5 + d - 1
    return era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468


def oracle_days_in_month(y, m):
    nxt = days_from_civil(y + 1, 1, 1) if m == 12 else days_from_civil(y, m + 1, 1)
    return nxt - days_from_civil(y, m, 1)


def oracle_weekday(y, m, d):
    return (days_from_civil(y, m, d) + 3) % 7  # 1970-01-01 was a Thursday


def oracle_iso(y, m, d):
    """The ISO week belongs to the year holding its Thursday."""
    days = days_from_civil(y, m, d)
    weekday = (days + 3) % 7
    thursday = days - weekday + 3
    iso_year = y - 1
    while days_from_civil(iso_year + 1, 1, 1) <= thursday:
        iso_year += 1
    return iso_year, (thursday - days_from_civil(iso_year, 1, 1)) // 7 + 1, weekday + 1


def oracle_bdays(y, m):
    first_weekday = oracle_weekday(y, m, 1)
    n = oracle_days_in_month(y, m)
    bdays = [d for d in range(1, n + 1) if (first_weekday + d - 1) % 7 < 5]
    return bdays[0], bdays[-1]


def dates_of(years):
    for y in years:
        for m in range(1, 13):
            for d in range(1, oracle_days_in_month(y, m) + 1):
                yield y, m, d


# ---------------------------------------------------------------------------
# Against the standard library, years 1 to 9999


def test_month_functions_every_month_1_to_9999():
    step = 7 if EMULATED else 1
    for y in range(1, 10000, step):
        for m in range(1, 13):
            first_weekday, n = calendar.monthrange(y, m)
            assert almanac.get_days_in_month(y, m) == n, (y, m)
            first = 1 if first_weekday < 5 else 8 - first_weekday
            last_weekday = (first_weekday + n - 1) % 7
            last = n - max(0, last_weekday - 4)
            assert almanac.get_firstbday(y, m) == first, (y, m)
            assert almanac.get_lastbday(y, m) == last, (y, m)


def check_days_against_datetime(years):
    for y, m, d in dates_of(years):
        date = datetime.date(y, m, d)
        iso = tuple(date.isocalendar())
        assert almanac.get_iso_calendar(y, m, d) == iso, (y, m, d)
        assert almanac.get_week_of_year(y, m, d) == iso[1], (y, m, d)
        assert almanac.get_day_of_year(y, m, d) == date.timetuple().tm_yday, (y, m, d)


def test_every_day_of_a_400_year_cycle():
    # A full cycle holds every combination of leap year and weekday.
    check_days_against_datetime(range(1900, 1950 if EMULATED else 2301))


def test_every_day_of_years_spread_over_1_to_9999():
    check_days_against_datetime(range(5, 10000, 97 if EMULATED else 11))


def test_every_day_of_the_first_and_last_years():
    check_days_against_datetime([1, 2, 3, 4, 9996, 9997, 9998, 9999])


@given(st.dates())
def test_random_dates_against_datetime(date):
    y, m, d = date.year, date.month, date.day
    assert almanac.get_iso_calendar(y, m, d) == tuple(date.isocalendar())
    assert almanac.get_day_of_year(y, m, d) == date.timetuple().tm_yday
    assert almanac.get_days_in_month(y, m) == calendar.monthrange(y, m)[1]


# ---------------------------------------------------------------------------
# Year 0, negative years and the ends of the 32-bit range


def check_days_against_oracle(years):
    for y in years:
        for m in range(1, 13):
            assert almanac.get_days_in_month(y, m) == oracle_days_in_month(y, m), (y, m)
            assert (almanac.get_firstbday(y, m), almanac.get_lastbday(y, m)) == oracle_bdays(y, m)
    for y, m, d in dates_of(years):
        iso = oracle_iso(y, m, d)
        assert almanac.get_iso_calendar(y, m, d) == iso, (y, m, d)
        assert almanac.get_week_of_year(y, m, d) == iso[1], (y, m, d)
        assert almanac.get_day_of_year(y, m, d) == days_from_civil(y, m, d) - days_from_civil(y, 1, 1) + 1


def test_year_zero_and_negative_years():
    check_days_against_oracle(range(-3, 2))
    check_days_against_oracle([-100, -101, -400, -401, -1000])


def test_extreme_years():
    # The ISO year beside the ends of the range is returned exactly.
    check_days_against_oracle([INT_MIN, INT_MIN + 1, INT_MAX - 1, INT_MAX])
    assert almanac.get_iso_calendar(INT_MAX, 12, 31) == oracle_iso(INT_MAX, 12, 31)
    assert almanac.get_iso_calendar(INT_MAX, 12, 31)[0] == INT_MAX + 1


@given(
    st.integers(INT_MIN, INT_MAX),
    st.integers(1, 12),
    st.integers(1, 31),
)
def test_random_dates_against_oracle(y, m, d):
    d = min(d, oracle_days_in_month(y, m))
    assert almanac.get_iso_calendar(y, m, d) == oracle_iso(y, m, d)
    assert almanac.get_days_in_month(y, m) == oracle_days_in_month(y, m)
    assert (almanac.get_firstbday(y, m), almanac.get_lastbday(y, m)) == oracle_bdays(y, m)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((2021, 1, 1), (2020, 53, 5)),
        ((2022, 1, 1), (2021, 52, 6)),
        ((2005, 1, 1), (2004, 53, 6)),
        ((2017, 1, 1), (2016, 52, 7)),
        ((2019, 12, 30), (2020, 1, 1)),
        ((2024, 12, 30), (2025, 1, 1)),
        ((2020, 12, 31), (2020, 53, 4)),
        ((2024, 1, 1), (2024, 1, 1)),
    ],
)
def test_iso_calendar_examples(args, expected):
    assert almanac.get_iso_calendar(*args) == expected
    assert almanac.get_week_of_year(*args) == expected[1]


def test_documented_examples():
    assert [almanac.get_days_in_month(*a) for a in [(2024, 2), (2023, 2), (1900, 2), (2000, 2), (2023, 12)]] == [
        29, 28, 28, 29, 31]
    assert [almanac.get_day_of_year(*a) for a in [(2023, 3, 1), (2024, 3, 1), (2024, 12, 31), (2023, 1, 1)]] == [
        60, 61, 366, 1]
    assert [almanac.get_firstbday(*a) for a in [(2023, 4), (2023, 10), (2024, 1)]] == [3, 2, 1]
    assert [almanac.get_lastbday(*a) for a in [(2023, 9), (2023, 4), (2024, 8), (2024, 2)]] == [29, 28, 30, 29]


def test_day_outside_its_month_follows_the_formulas():
    assert almanac.get_day_of_year(2023, 1, 40) == 40
    assert almanac.get_day_of_year(2024, 3, 0) == 60
    # The 32-bit result wraps rather than overflowing.
    assert almanac.get_day_of_year(2023, 12, INT_MAX) == 334 + INT_MAX - 2**32
    for d in (INT_MIN, -1, 0, 32, INT_MAX):
        year, week, weekday = almanac.get_iso_calendar(2023, 6, d)
        assert isinstance(week, int) and -6 <= weekday - 1 <= 6


# ---------------------------------------------------------------------------
# Arguments


class Intish:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class Indexish:
    def __index__(self):
        return 2


def test_int_conversion_of_year_month_day():
    assert almanac.get_days_in_month(2024.7, 2) == 29
    assert almanac.get_day_of_year(2024.9, 3.9, 1.5) == 61
    assert almanac.get_day_of_year(Intish(2024), Intish(3), True) == 61
    assert almanac.get_firstbday(year=2023, month=4.2) == 3
    assert almanac.get_day_of_year(INT_MIN, 1, 1) == 1
    assert almanac.get_day_of_year(INT_MAX, 1, 1) == 1


def test_month_of_get_days_in_month_goes_through_index():
    assert almanac.get_days_in_month(2024, Indexish()) == 29
    assert almanac.get_days_in_month(2024, True) == 31
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        almanac.get_days_in_month(2024, 2.0)
    with pytest.raises(OverflowError):
        almanac.get_days_in_month(2024, sys.maxsize + 1)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_conversion_errors(name):
    fn = getattr(almanac, name)
    n = len(FUNCTIONS[name])
    good = [2024, 3, 1][:n]
    for i in range(n):
        if name == "get_days_in_month" and i == 1:
            continue
        args = list(good)
        args[i] = "x"
        with pytest.raises(TypeError, match="^an integer is required$"):
            fn(*args)
        args[i] = Intish(1.5)
        with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$"):
            fn(*args)
        for big in (2**31, -(2**31) - 1, 2**40):
            args[i] = big
            with pytest.raises(OverflowError):
                fn(*args)


def test_arguments_are_converted_left_to_right():
    with pytest.raises(OverflowError):
        almanac.get_day_of_year(2**40, "x", 1)
    with pytest.raises(TypeError):
        almanac.get_day_of_year("x", 2**40, 1)
    seen = []

    class Loud:
        def __init__(self, tag, value):
            self.tag, self.value = tag, value

        def __int__(self):
            seen.append(self.tag)
            return self.value

    almanac.get_iso_calendar(day=Loud("d", 1), month=Loud("m", 1), year=Loud("y", 2024))
    assert seen == ["y", "m", "d"]
    seen.clear()
    with pytest.raises(TypeError):
        almanac.get_iso_calendar(Loud("y", 2024), "x", Loud("d", 1))
    assert seen == ["y"]


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_argument_count_and_keywords(name):
    fn = getattr(almanac, name)
    params = FUNCTIONS[name]
    n = len(params)
    good = [2024, 3, 1][:n]
    assert fn(*good) == fn(**dict(zip(params, good)))
    with pytest.raises(TypeError) as info:
        fn(*good[:-1])
    assert str(info.value) == f"{name}() takes exactly {n} positional arguments ({n - 1} given)"
    with pytest.raises(TypeError) as info:
        fn(*good, 1)
    assert str(info.value) == f"{name}() takes exactly {n} positional arguments ({n + 1} given)"
    with pytest.raises(TypeError) as info:
        fn()
    assert str(info.value) == f"{name}() takes exactly {n} positional arguments (0 given)"
    with pytest.raises(TypeError) as info:
        fn(*good, year=2024)
    assert str(info.value) == f"{name}() got multiple values for keyword argument 'year'"
    with pytest.raises(TypeError) as info:
        fn(*good[:-1], **{params[-1]: good[-1]}, era=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'era'"


def test_firstbday_with_one_argument():
    with pytest.raises(TypeError) as info:
        almanac.get_firstbday(2023)
    assert str(info.value) == "get_firstbday() takes exactly 2 positional arguments (1 given)"


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
@pytest.mark.parametrize("month", [0, 13, -1, INT_MIN, INT_MAX])
def test_month_outside_1_to_12_raises_value_error(name, month):
    fn = getattr(almanac, name)
    args = [2024, month, 1][: len(FUNCTIONS[name])]
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert str(info.value) == f"month must be in 1..12, got {month}"


def test_month_check_follows_conversion():
    with pytest.raises(TypeError):
        almanac.get_day_of_year(2024, 13, "x")
    if sys.maxsize > INT_MAX:
        with pytest.raises(ValueError, match=f"got {2**40}$"):
            almanac.get_days_in_month(2024, 2**40)


def test_traceback_entry_names_the_function():
    with pytest.raises(TypeError) as info:
        almanac.get_lastbday(2023, "x")
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "tavrel._libs.tslibs.almanac.get_lastbday"
    assert traceback.extract_tb(info.value.__traceback__)[-1].filename.endswith("almanac.cpp")


# ---------------------------------------------------------------------------
# Module attributes


def test_name_tables():
    months = ["JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"]
    days = ["MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"]
    assert type(almanac.MONTHS) is list and almanac.MONTHS == months
    assert type(almanac.MONTHS_FULL) is list and almanac.MONTHS_FULL == [""] + [
        "January", "February", "March", "April", "May", "June", "July", "August", "September",
        "October", "November", "December"]
    assert type(almanac.DAYS) is list and almanac.DAYS == days
    assert almanac.DAYS_FULL == ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"]
    # dicts compared as item lists, so that insertion order counts
    assert list(almanac.MONTH_NUMBERS.items()) == [(m, i) for i, m in enumerate(months)]
    assert list(almanac.MONTH_ALIASES.items()) == [(i + 1, m) for i, m in enumerate(months)]
    assert 0 not in almanac.MONTH_ALIASES
    assert list(almanac.int_to_weekday.items()) == list(enumerate(days))
    assert list(almanac.weekday_to_int.items()) == [(d, i) for i, d in enumerate(days)]
    for table in (almanac.MONTHS, almanac.MONTHS_FULL, almanac.DAYS, almanac.DAYS_FULL,
                  almanac.MONTH_NUMBERS, almanac.MONTH_ALIASES, almanac.int_to_weekday, almanac.weekday_to_int):
        items = table.items() if isinstance(table, dict) else enumerate(table)
        for key, value in items:
            assert type(key) in (int, str) and type(value) in (int, str)
    assert not hasattr(almanac, "MONTH_TO_CAL_NUM")
    assert not hasattr(almanac, "c_MONTH_NUMBERS")
    assert almanac.__test__ == {}


def test_attributes_are_bound_in_import_order():
    order = ["__pyx_capi__", "MONTHS", "MONTHS_FULL", "MONTH_NUMBERS", "MONTH_ALIASES", "DAYS", "DAYS_FULL",
             "int_to_weekday", "weekday_to_int", "get_days_in_month", "get_week_of_year", "get_iso_calendar",
             "get_day_of_year", "get_lastbday", "get_firstbday"]
    names = list(vars(almanac))
    assert [n for n in names if n in order] == order


def test_module_and_function_metadata():
    assert "calendar" in almanac.__doc__
    for name in FUNCTIONS:
        fn = getattr(almanac, name)
        assert fn.__module__ == "tavrel._libs.tslibs.almanac"
        assert fn.__name__ == fn.__qualname__ == name


SUMMARIES = {
    "get_days_in_month": "Return the number of days in the given month of the given year.",
    "get_day_of_year": "Return the ordinal day-of-year for the given day.",
    "get_week_of_year": "Return the ordinal week-of-year for the given day.",
    "get_iso_calendar": "Return the year, week, and day of year corresponding to ISO 8601",
    "get_firstbday": "Find the first day of the month that is a business day.",
    "get_lastbday": "Find the last day of the month that is a business day.",
}
RETURNS = {
    "get_days_in_month": ["days_in_month : int"],
    "get_day_of_year": ["day_of_year : int32_t"],
    "get_week_of_year": ["week_of_year : int32_t"],
    "get_iso_calendar": ["year : int32_t", "week : int32_t", "day : int32_t"],
    "get_firstbday": ["first_bday : int"],
    "get_lastbday": ["last_bday : int"],
}


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_docstrings(name):
    doc = getattr(almanac, name).__doc__
    assert doc.startswith("\n    " + SUMMARIES[name] + "\n")
    body = textwrap.dedent(doc).strip("\n").splitlines()
    params = [f"{p} : int" for p in FUNCTIONS[name]]
    i = body.index("Parameters")
    assert body[i + 1] == "-" * len("Parameters") and body[i + 2 : i + 2 + len(params)] == params
    j = body.index("Returns")
    assert body[j + 1] == "-------" and body[j + 2 : j + 2 + len(RETURNS[name])] == RETURNS[name]
    if name in ("get_firstbday", "get_lastbday"):
        assert "Notes" not in body
    else:
        k = body.index("Notes")
        assert body[k + 1] == "-----"
        notes = " ".join(body[k + 2 :])
        if name == "get_days_in_month":
            assert "1 and 12" in notes
        else:
            assert notes.strip() == "Assumes the inputs describe a valid date."


def test_import_fails_with_import_error_without_numpy(tmp_path):
    code = textwrap.dedent(
        """
        import sys, traceback
        sys.modules["numpy._core._multiarray_umath"] = None
        sys.modules["numpy.core._multiarray_umath"] = None
        try:
            import tavrel._libs.tslibs.almanac
        except ImportError as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            print(type(exc).__name__, "|", exc, "|", type(exc.__context__).__name__, "|", names[-1])
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd=tmp_path)
    assert out.stdout.strip() == (
        "ImportError | numpy._core.multiarray failed to import | ModuleNotFoundError"
        " | init tavrel._libs.tslibs.almanac"
    )


def run_import_with(tmp_path, prelude):
    code = textwrap.dedent(
        """
        import sys, traceback, warnings
        import numpy
        {prelude}
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import tavrel._libs.tslibs.almanac
        except Exception as exc:
            print(type(exc).__name__, "|", exc)
        else:
            print("imported |", [str(w.message) for w in caught if w.category is RuntimeWarning])
        """
    ).format(prelude=prelude)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd=tmp_path)
    return out.stdout.strip()


def test_numpy_types_are_checked_at_import(tmp_path):
    assert run_import_with(tmp_path, "numpy.dtype = 3") == "TypeError | numpy.dtype is not a type object"
    out = run_import_with(tmp_path, "numpy.ndarray = object")
    assert out.startswith("ValueError | numpy.ndarray size changed, may indicate binary incompatibility. Expected ")
    assert out.endswith(f"from C header, got {object.__basicsize__} from PyObject")
    # an abstract scalar type that has grown is accepted with a warning
    out = run_import_with(tmp_path, "numpy.number = type('Grown', (), {'__slots__': ('a', 'b')})")
    assert out.startswith("imported | ['numpy.number size changed, may indicate binary incompatibility.")
