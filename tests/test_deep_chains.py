"""Long chains of native objects (an indexer holding an indexer through
`obj`, a property holding a property through `fget` or `__doc__`) are
released without recursing once per link, so that no chain length can
exhaust the C stack.

Each chain is built in a child process and released in a thread with a
small stack; a crash there is a failed test, not a dead test run."""

import pickle
import struct
import subprocess
import sys
import textwrap

import pytest

LINKS = 1_000_000

# (class, module, accepted checksum, state tuple with the previous link as `prev`)
CLASSES = {
    "NDFrameIndexerBase": ("tavrel._libs.indexing", 0xC17D480, ("-1", "None", "prev")),
    "AxisProperty": ("tavrel._libs.properties", 0xD2E4E33, ("prev", "0")),
    "CachedProperty": ("tavrel._libs.properties", 0xEF86259, ("None", "prev", "None")),
}

# The field through which each link holds the one before it.
LINK_FIELD = {"NDFrameIndexerBase": "obj", "AxisProperty": "__doc__", "CachedProperty": "fget"}

RELEASE = textwrap.dedent("""
    import pickle, sys, threading
    from tavrel._libs.indexing import NDFrameIndexerBase
    from tavrel._libs.properties import AxisProperty, CachedProperty

    cls, how, links = sys.argv[1], sys.argv[2], int(sys.argv[3])

    def link(prev):
        # Made the way a program would: constructor, or __setstate__.
        if cls == "NDFrameIndexerBase":
            return NDFrameIndexerBase("x", prev)
        if cls == "AxisProperty":
            return AxisProperty(0, prev)
        prop = CachedProperty.__new__(CachedProperty)
        prop.__setstate__((None, prev, None))
        return prop

    if how == "pickle":
        holder = [pickle.loads(sys.stdin.buffer.read())]
    else:
        holder = [None]
        for _ in range(links):
            holder[0] = link(holder[0])
    threading.stack_size(256 * 1024)
    worker = threading.Thread(target=holder.clear)
    worker.start()
    worker.join()
    print("released", len(holder))
""")


def crafted_pickle(cls, links):
    """A pickle that loads a chain of `links` objects without recursion:
    each link calls the class's reconstructor with a state that holds the
    link before it, kept in memo slot 2."""
    module, checksum, state = CLASSES[cls]
    element = {"None": b"N", "prev": b"h\x02", "0": b"K\x00", "-1": b"J" + struct.pack("<i", -1)}
    tuple_op = {2: b"\x86", 3: b"\x87"}
    reconstructor = f"c{module}\n__pyx_unpickle_{cls}\n".encode()
    klass = f"c{module}\n{cls}\n".encode()
    link = (b"h\x00h\x01J" + struct.pack("<i", checksum) + b"".join(element[e] for e in state)
            + tuple_op[len(state)] + b"\x87R" + b"q\x020")
    return (b"\x80\x02" + reconstructor + b"q\x000" + klass + b"q\x010" + b"Nq\x020"
            + link * links + b"h\x02.")


def release_in_child(cls, how, stdin=None):
    return subprocess.run([sys.executable, "-P", "-c", RELEASE, cls, how, str(LINKS)], input=stdin,
                          capture_output=True, timeout=900)


@pytest.mark.parametrize("cls", sorted(CLASSES))
def test_long_chain_is_released_on_a_small_stack(cls):
    out = release_in_child(cls, "direct")
    assert out.returncode == 0, out.stderr.decode()[-2000:]
    assert out.stdout.split() == [b"released", b"0"]


@pytest.mark.parametrize("cls", sorted(CLASSES))
def test_chain_loaded_from_a_pickle_is_released_on_a_small_stack(cls):
    out = release_in_child(cls, "pickle", crafted_pickle(cls, LINKS))
    assert out.returncode == 0, out.stderr.decode()[-2000:]
    assert out.stdout.split() == [b"released", b"0"]


def test_crafted_pickle_builds_the_chain_it_describes():
    for cls, field in LINK_FIELD.items():
        node, depth = pickle.loads(crafted_pickle(cls, 3)), 0
        while node is not None:
            assert type(node).__name__ == cls
            node = getattr(node, field)
            depth += 1
        assert depth == 3
