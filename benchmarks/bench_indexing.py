"""NDFrameIndexerBase against a Python class with __slots__ doing the same, in
one run: construction, and a read of the cached ndim.

Run by hand:  python benchmarks/bench_indexing.py
"""

import timeit

from tavrel._libs.indexing import NDFrameIndexerBase

N = 2_000_000


class PyIndexerBase:
    __slots__ = ("name", "obj", "_ndim")

    def __init__(self, name: str, obj):
        self.obj = obj
        self.name = name
        self._ndim = -1

    @property
    def ndim(self):
        ndim = self._ndim
        if ndim == -1:
            ndim = self._ndim = self.obj.ndim
            if ndim > 2:
                raise ValueError("NDFrameIndexer does not support NDFrame objects with ndim > 2")
        return ndim


class Frame:
    ndim = 2


def per_op(stmt, env):
    best = min(timeit.repeat(stmt, globals=env, number=N, repeat=5))
    return best / N * 1e9


def main():
    frame = Frame()
    print(f"{'operation':24s} {'ours ns':>8s} {'python ns':>10s} {'ratio':>6s}  (target >= 1.5)")
    ours = per_op("C('loc', f)", {"C": NDFrameIndexerBase, "f": frame})
    theirs = per_op("C('loc', f)", {"C": PyIndexerBase, "f": frame})
    print(f"{'construction':24s} {ours:8.1f} {theirs:10.1f} {theirs / ours:6.2f}")
    native, python = NDFrameIndexerBase("loc", frame), PyIndexerBase("loc", frame)
    native.ndim, python.ndim
    ours = per_op("i.ndim", {"i": native})
    theirs = per_op("i.ndim", {"i": python})
    print(f"{'cached ndim read':24s} {ours:8.1f} {theirs:10.1f} {theirs / ours:6.2f}")


if __name__ == "__main__":
    main()
