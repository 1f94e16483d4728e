"""Property descriptor reads against their pure-Python peers, in one run.

Run by hand:  python benchmarks/bench_properties.py

- a cached CachedProperty read vs functools.cached_property's cached read and
  vs a plain property returning a stored value;
- an AxisProperty read vs a property doing self._mgr.axes[0].
"""

import functools
import timeit

from tavrel._libs.properties import AxisProperty, CachedProperty

N = 2_000_000


class Manager:
    def __init__(self):
        self.axes = ["index", "columns"]


class Frame:
    def __init__(self):
        self._mgr = Manager()
        self._stored = 1

    @CachedProperty
    def ours(self):
        return 1

    @functools.cached_property
    def functools_cached(self):
        return 1

    @property
    def plain(self):
        return self._stored

    index = AxisProperty(0)

    @property
    def index_py(self):
        return self._mgr.axes[0]


def per_read(attr, obj):
    getattr(obj, attr)  # fill caches
    best = min(timeit.repeat(f"o.{attr}", globals={"o": obj}, number=N, repeat=5))
    return best / N * 1e9


def main():
    frame = Frame()
    ours = per_read("ours", frame)
    functools_cached = per_read("functools_cached", frame)
    plain = per_read("plain", frame)
    print(f"CachedProperty cached read       {ours:6.1f} ns")
    print(f"functools.cached_property read   {functools_cached:6.1f} ns   ours / it = {ours / functools_cached:.2f}"
          "  (target <= 2)")
    print(f"property returning stored value  {plain:6.1f} ns   it / ours = {plain / ours:.2f}  (target > 1)")
    axis = per_read("index", frame)
    axis_py = per_read("index_py", frame)
    print(f"AxisProperty read                {axis:6.1f} ns")
    print(f"property self._mgr.axes[0]       {axis_py:6.1f} ns   it / ours = {axis_py / axis:.2f}  (target >= 1.5)")


if __name__ == "__main__":
    main()
