"""A consumer of the Arrow C data interface in plain ctypes: it takes the
structures out of "arrow_schema" and "arrow_array_stream" capsules as any
Arrow library would (moving them, then releasing them), walks the format
strings, children and buffers, checks the layout's invariants, and decodes
the values into Python lists.  It needs no wheel, so every target tests
the export with it."""

import ctypes
import datetime
import struct

import numpy as np

_release_fn = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ArrowSchema))),
        ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ArrowArray))),
        ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

NULLABLE = 2
FIXED = {"c": "b", "C": "B", "s": "h", "S": "H", "i": "i", "I": "I", "l": "q", "L": "Q", "e": "e", "f": "f",
         "g": "d", "tdD": "i"}


def take(capsule, kind):
    """Moves the structure out of a capsule ("arrow_schema" or
    "arrow_array_stream"): the capsule's copy is marked released."""
    cls, name = (ArrowSchema, b"arrow_schema") if kind == "schema" else (ArrowArrayStream, b"arrow_array_stream")
    address = _get_pointer(capsule, name)
    own = cls()
    ctypes.memmove(ctypes.addressof(own), address, ctypes.sizeof(cls))
    cls.from_address(address).release = None
    return own


def release(struct_):
    """Calls a structure's release callback (without the GIL: ctypes drops
    it around foreign calls); it must mark the structure released."""
    assert struct_.release, "released twice"
    _release_fn(struct_.release)(ctypes.addressof(struct_))
    assert not struct_.release, "the release callback did not mark the structure released"


def fields(schema):
    """[(name, format, nullable)] of a struct schema."""
    assert schema.format == b"+s" and schema.release
    out = []
    for i in range(schema.n_children):
        child = schema.children[i].contents
        assert child.n_children == 0 and not child.dictionary and child.release
        out.append((child.name.decode(), child.format.decode(), bool(child.flags & NULLABLE)))
    return out


def read_schema(capsule):
    schema = take(capsule, "schema")
    try:
        return fields(schema)
    finally:
        release(schema)


def _bits(address, offset, length):
    raw = ctypes.string_at(address, (offset + length + 7) // 8)
    return [(raw[(offset + i) >> 3] >> ((offset + i) & 7)) & 1 for i in range(length)]


def column(array, fmt):
    """The values of one column array (None for nulls), checked against
    the layout: buffer count, null count, offsets."""
    n, off = array.length, array.offset
    text = fmt in ("u", "U")
    assert array.n_buffers == (3 if text else 2) and array.n_children == 0
    buffers = [array.buffers[i] for i in range(array.n_buffers)]
    valid = _bits(buffers[0], off, n) if buffers[0] else [1] * n
    assert array.null_count == valid.count(0), "null_count does not match the validity bitmap"
    if fmt == "b":
        values = [bool(b) for b in _bits(buffers[1], off, n)]
    elif text:
        width = 8 if fmt == "U" else 4
        ends = struct.unpack(f"<{n + 1}{'q' if width == 8 else 'i'}",
                             ctypes.string_at(buffers[1] + off * width, (n + 1) * width))
        assert all(a <= b for a, b in zip(ends, ends[1:])), "offsets go backwards"
        data = ctypes.string_at(buffers[2] + ends[0], ends[-1] - ends[0]) if n else b""
        values = [data[a - ends[0]:b - ends[0]].decode("utf-8") for a, b in zip(ends, ends[1:])]
    elif fmt.startswith("ts"):
        values = [np.datetime64(v, {"s": "s", "m": "ms", "u": "us", "n": "ns"}[fmt[2]])
                  for v in struct.unpack(f"<{n}q", ctypes.string_at(buffers[1] + off * 8, n * 8))]
    else:
        code = FIXED[fmt]
        size = struct.calcsize(code)
        values = list(struct.unpack(f"<{n}{code}", ctypes.string_at(buffers[1] + off * size, n * size)))
        if fmt == "tdD":
            values = [datetime.date(1970, 1, 1) + datetime.timedelta(days=v) for v in values]
    return [v if ok else None for v, ok in zip(values, valid)]


def read_stream(capsule, keep=False, decode=True):
    """Everything in a stream: {"fields": [...], "batches": [{"length": n,
    "columns": {name: values}, "buffers": {name: [addresses]}}]}.  The
    batches are released as they are read, unless `keep`, when their
    structures are returned under "arrays" for the caller to release.
    Without `decode` the values are not read."""
    stream = take(capsule, "stream")
    out = {"fields": None, "batches": [], "arrays": []}
    try:
        schema = ArrowSchema()
        assert stream.get_schema(ctypes.addressof(stream), ctypes.byref(schema)) == 0
        out["fields"] = fields(schema)
        release(schema)
        while True:
            array = ArrowArray()
            assert stream.get_next(ctypes.addressof(stream), ctypes.byref(array)) == 0
            if not array.release:
                break
            assert array.n_buffers == 1 and not array.buffers[0] and array.null_count == 0
            assert array.n_children == len(out["fields"])
            batch = {"length": array.length, "columns": {}, "buffers": {}}
            for i, (name, fmt, nullable) in enumerate(out["fields"]):
                child = array.children[i].contents
                assert child.length == array.length and (nullable or child.null_count == 0)
                if decode:
                    batch["columns"][name] = column(child, fmt)
                batch["buffers"][name] = [child.buffers[k] for k in range(child.n_buffers)]
            out["batches"].append(batch)
            if keep:
                out["arrays"].append(array)
            else:
                release(array)
    finally:
        release(stream)
    return out


def values(result):
    """The columns of all batches joined: {name: values}."""
    joined = {name: [] for name, _, _ in result["fields"]}
    for batch in result["batches"]:
        for name, vals in batch["columns"].items():
            joined[name].extend(vals)
    return joined
