"""The sample table that ``python3 -m tavrel`` reads when it is given no file.

A few MB of comma-separated text made in memory from a fixed seed, so that every
run shows the same table: integers, an unsigned column above the signed 64-bit
range, floats and counts with missing values, yes/no flags, dates, date-times
with zone offsets (read as UTC), station names quoted because they hold the
separator or quote characters, notes with line breaks inside quotes, and one
row with a field too many (reported under ``bad_rows="warn"``).
"""

import datetime
import random

HEADER = "id,day,stamp,station,temp_c,count,ok,serial,note"

# Where the row with one field too many goes, as a fraction of the rows.
BAD_ROW_AT = 0.37

_STATIONS = (
    "Oslo", "Bergen", "Tromsø", '"Rio de Janeiro, RJ"', '"São Paulo, SP"', "Reykjavík",
    '"The ""Old"" Observatory"', "Nairobi", "Kraków", "Ushuaia", '"Hobart, TAS"', "Nuuk",
)
_NOTES = (
    '"sensor replaced; reading\nresumed next day"', '"gusts, hail"', "calm",
    '"line one\r\nline two, with a comma"', '"quoted ""word"" inside"',
)
_OFFSETS = ("Z", "+01:00", "-03:00", "+05:30", "+09:00", "-10:00")


_EPOCH = datetime.date(2000, 1, 1).toordinal()


def _date(days):
    """ISO date of day number ``days`` counted from 2000-01-01."""
    return datetime.date.fromordinal(_EPOCH + days).isoformat()


def sample_rows(target_bytes=4_000_000, seed=14):
    """Yield the sample's lines (header first), about ``target_bytes`` in all."""
    rnd = random.Random(seed)
    rows = max(10, target_bytes // 105)
    bad_row = int(rows * BAD_ROW_AT)
    yield HEADER
    for i in range(1, rows + 1):
        day = _date(rnd.randrange(0, 36_000))
        stamp = (f"{_date(rnd.randrange(8_000, 9_000))}T{rnd.randrange(24):02d}:{rnd.randrange(60):02d}:"
                 f"{rnd.randrange(60):02d}.{rnd.randrange(1000):03d}{rnd.choice(_OFFSETS)}")
        station = rnd.choice(_STATIONS)
        temp = "" if rnd.random() < 0.03 else f"{rnd.gauss(9.0, 11.0):.2f}"
        count = "" if rnd.random() < 0.05 else str(rnd.randrange(-50, 5000))
        ok = "" if rnd.random() < 0.02 else ("true" if rnd.random() < 0.8 else "false")
        serial = str(18_000_000_000_000_000_000 + rnd.randrange(400_000_000_000_000_000))
        note = rnd.choice(_NOTES) if rnd.random() < 0.1 else ""
        line = f"{i},{day},{stamp},{station},{temp},{count},{ok},{serial},{note}"
        if i == bad_row:
            line += ",unexpected"
        yield line


def sample_bytes(target_bytes=4_000_000, seed=14):
    """The whole sample as UTF-8 bytes, lines ended by LF."""
    return ("\n".join(sample_rows(target_bytes, seed)) + "\n").encode("utf-8")
