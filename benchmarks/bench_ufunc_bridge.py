"""maybe_dispatch_ufunc_to_dunder_op for add(obj, 1) against the same
algorithm written in Python.

Run by hand:  python benchmarks/bench_ufunc_bridge.py
"""

import timeit

import numpy as np

from tavrel._libs.ufunc_bridge import (
    DISPATCHED_UFUNCS,
    REVERSED_NAMES,
    UFUNC_ALIASES,
    UNARY_UFUNCS,
    maybe_dispatch_ufunc_to_dunder_op,
)


def python_dispatch(self, ufunc, method, *inputs, **kwargs):
    op_name = ufunc.__name__
    op_name = UFUNC_ALIASES.get(op_name, op_name)

    def not_implemented(*args, **kwargs):
        return NotImplemented

    if kwargs or ufunc.nin > 2:
        return NotImplemented
    if method == "__call__" and op_name in DISPATCHED_UFUNCS:
        if inputs[0] is self:
            name = f"__{op_name}__"
            meth = getattr(self, name, not_implemented)
            if op_name in UNARY_UFUNCS:
                assert len(inputs) == 1
                return meth()
            return meth(inputs[1])
        elif inputs[1] is self:
            name = REVERSED_NAMES.get(op_name, f"__r{op_name}__")
            result = getattr(self, name, not_implemented)(inputs[0])
            return result
    return NotImplemented


class Obj:
    def __add__(self, other):
        return other


def main():
    obj = Obj()
    n = 500_000
    env = {"obj": obj, "add": np.add, "sub": np.subtract}
    results = {}
    for label, fn in (("native", maybe_dispatch_ufunc_to_dunder_op), ("python", python_dispatch)):
        env["f"] = fn
        for case, stmt in (("add(obj, 1)", "f(obj, add, '__call__', obj, 1)"),
                           ("subtract(1, obj) (missing method)", "f(obj, sub, '__call__', 1, obj)")):
            t = min(timeit.repeat(stmt, globals=env, number=n, repeat=5)) / n * 1e9
            results[(label, case)] = t
    for case in ("add(obj, 1)", "subtract(1, obj) (missing method)"):
        ours, theirs = results[("native", case)], results[("python", case)]
        print(f"{case:36s} native {ours:7.1f} ns  python {theirs:7.1f} ns  speed-up {theirs / ours:5.2f}x")


if __name__ == "__main__":
    main()
