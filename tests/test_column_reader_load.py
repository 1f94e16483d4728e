"""The column reader under load: the interpreter lock, Ctrl-C, re-entrant
callbacks, references and memory over many reads (error paths included)."""

import _thread
import gc
import io
import os
import sys
import threading
import time
import tracemalloc

import pytest

import tavrel
from tavrel import ParseError
from tavrel._libs import column_reader

EMULATED = os.environ.get("TAVREL_TARGET_ARCH") == "armhf"
ROWS = 300_000 if EMULATED else 2_000_000


@pytest.fixture(scope="module")
def big():
    return b"a,b\n" + b"12345,678.25\n" * ROWS


def test_another_thread_runs_during_a_read(big):
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=count)
    t.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        c = tavrel.read_columns(big)
        end = time.perf_counter()
    finally:
        done.set()
        t.join()
    assert c.nrows == ROWS
    during = [x for x in ticks if start < x < end]
    # With the lock held for the whole read the thread would not tick at all.
    assert len(during) >= max(3, (end - start) / 0.001 / 20)


def test_ctrl_c_stops_a_long_read_within_a_batch(big):
    started = threading.Event()

    def interrupt():
        started.wait()
        time.sleep(0.01)
        _thread.interrupt_main()

    def progress(done, total, rows):
        started.set()

    t = threading.Thread(target=interrupt)
    t.start()
    t0 = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        tavrel.read_columns(big * 4, progress=progress)
        time.sleep(5)  # never here: the read is stopped first
    t.join()
    assert time.perf_counter() - t0 < 5


def test_reentrant_callbacks():
    inner = []

    def skip(row):
        if row == 1:
            inner.append(tavrel.read_columns(b"x\n1\n")["x"].tolist())
        return False

    def progress(done, total, rows):
        inner.append(tavrel.read_columns(b"y\n2\n")["y"].tolist())

    c = tavrel.read_columns(b"a\n1\n2\n", skip_rows=skip, progress=progress)
    assert c["a"].tolist() == [1, 2] and [1] in inner and [2] in inner

    # The same reader from inside its own callback is refused, not run twice.
    it = tavrel.iter_columns(b"a\n" + b"1\n" * 10000, batch_rows=10, progress=lambda *a: next(it))
    with pytest.raises((RuntimeError, ValueError)):
        list(it)


def test_reader_objects_refuse_misuse():
    r = column_reader.Reader(b"a\n1\n")
    with pytest.raises(RuntimeError):
        r.read()  # configure() must come first
    with pytest.raises(RuntimeError):
        r.open()  # the earlier failure sticks
    r = column_reader.Reader.__new__(column_reader.Reader)
    with pytest.raises(RuntimeError):
        r.open()
    r = column_reader.Reader(b"a,b\n1,2\n")
    assert r.open() == (["a", "b"], 2)
    for bad in [((5,), (-1,), (-1,), (15,)), ((0,), (0,), (-1,), (15,)), ((0,), (5,), (99,), (15,)),
                ((0, 1), (-1,), (-1,), (15,))]:
        with pytest.raises(ValueError):
            _configure(bad)
    with pytest.raises(TypeError):
        column_reader.Reader(42)
    with pytest.raises(ValueError):
        column_reader.Reader(b"", sep=300)
    r.close()
    r.close()
    with pytest.raises(RuntimeError):
        r.read()


def _configure(args):
    r = column_reader.Reader(b"a,b\n1,2\n")
    r.open()
    r.configure(*args)


class Raising(io.RawIOBase):
    def __init__(self, data, after):
        self.data, self.after = io.BytesIO(data), after

    def readable(self):
        return True

    def read(self, size=-1):
        self.after -= 1
        if self.after < 0:
            raise OSError("boom")
        return self.data.read(size)


def many_reads(**options):
    """One round of reads, successful and failing."""
    data = b"a,b,c\n" + b"1,x,2020-01-01\n" * 200 + b"2.5,y,z\n"
    tavrel.read_columns(data, chunk_bytes=64, **options)
    tavrel.read_columns(io.BytesIO(data), dtypes={"b": str}, **options)
    list(tavrel.iter_columns(data, batch_rows=50, **options))
    for bad in (lambda: tavrel.read_columns(data + b"1,2,3,4\n", **options),
                lambda: tavrel.read_columns(Raising(data, 1), chunk_bytes=100, **options),
                lambda: tavrel.read_columns(data, dtypes={"a": "int64"}, **options),
                lambda: tavrel.read_columns(b"a\n\xff\n", **options),
                lambda: tavrel.read_columns(data, columns=["nope"], **options),
                lambda: tavrel.read_columns(b'a\n"open\n', **options)):
        with pytest.raises((ParseError, OSError, ValueError)):
            bad()


def test_no_leaks_over_many_reads():
    source = b"a\n1\n2\n"
    refs = sys.getrefcount(source)
    for _ in range(3):
        many_reads()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(30 if EMULATED else 150):
            many_reads()
            tavrel.read_columns(source)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 256 * 1024, grown
    assert sys.getrefcount(source) == refs


def test_native_memory_does_not_grow():
    """Buffers outside Python's allocator are watched through the process size."""
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    if not os.path.exists("/proc/self/statm"):
        pytest.skip("needs /proc")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer keeps freed memory in quarantine; the traced-memory test covers this build")
    # User-mode emulation keeps about 170 KiB of every thread a process
    # starts and ends (a bare threading.Thread shows the same), so there the
    # reads run on the calling thread; natively they use their thread pools.
    options = {"threads": 1} if EMULATED else {}
    for _ in range(5):
        many_reads(**options)
    gc.collect()
    before = rss()
    for _ in range(20 if EMULATED else 100):
        many_reads(**options)
    gc.collect()
    assert rss() - before < 8 << 20


def test_peak_memory_is_bounded_by_the_result():
    """The input is read in chunks: a read holds little beyond its result."""
    n = 200_000 if EMULATED else 1_000_000
    data = b"a,b,c\n" + b"123456,0.125,7\n" * n
    tracemalloc.start()
    try:
        c = tavrel.read_columns(io.BytesIO(data), chunk_bytes=1 << 16)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert c.nrows == n
    # Python-side allocations (the chunks read) stay far below the data.
    assert peak < len(data) / 4, peak
