import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest

from tavrel._libs import ufunc_bridge
from tavrel._libs.ufunc_bridge import maybe_dispatch_ufunc_to_dunder_op as dispatch


class Recorder:
    """Answers every operator method with (method name, arguments)."""

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            return lambda *args: (name, args)
        raise AttributeError(name)

    # object defines the comparisons itself, so __getattr__ never sees them
    for _name in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"):
        locals()[_name] = (lambda n: lambda self, *args: (n, args))(_name)
    del _name
    __hash__ = object.__hash__


class Bare:
    pass


class FakeUfunc:
    def __init__(self, name, nin=2):
        self.__name__ = name
        self.nin = nin


@pytest.fixture
def obj():
    return Recorder()


@pytest.mark.parametrize(
    "ufunc, inputs, expected",
    [
        (np.add, ("obj", 1), ("__add__", (1,))),
        (np.subtract, (1, "obj"), ("__rsub__", (1,))),
        (np.remainder, ("obj", 3), ("__mod__", (3,))),
        (np.divide, (2, "obj"), ("__rtruediv__", (2,))),
        (np.less, (1, "obj"), ("__gt__", (1,))),
        (np.less_equal, (1, "obj"), ("__ge__", (1,))),
        (np.greater, (1, "obj"), ("__lt__", (1,))),
        (np.greater_equal, (1, "obj"), ("__le__", (1,))),
        (np.equal, (1, "obj"), ("__eq__", (1,))),
        (np.not_equal, (1, "obj"), ("__ne__", (1,))),
        (np.bitwise_xor, ("obj", 7), ("__xor__", (7,))),
        (np.bitwise_or, (7, "obj"), ("__ror__", (7,))),
        (np.matmul, ("a", "obj"), ("__rmatmul__", ("a",))),
        (np.power, ("obj", 2), ("__pow__", (2,))),
        (np.floor_divide, ("obj", 2), ("__floordiv__", (2,))),
        (np.divmod, (5, "obj"), ("__rdivmod__", (5,))),
        (np.negative, ("obj",), ("__neg__", ())),
        (np.absolute, ("obj",), ("__abs__", ())),
        (np.positive, ("obj",), ("__pos__", ())),
    ],
)
def test_real_ufuncs_reach_operator_methods(obj, ufunc, inputs, expected):
    inputs = tuple(obj if x == "obj" else x for x in inputs)
    assert dispatch(obj, ufunc, "__call__", *inputs) == expected


def test_cases_that_are_not_dispatched(obj):
    assert dispatch(obj, np.add, "reduce", obj) is NotImplemented
    assert dispatch(obj, np.add, None, obj, 1) is NotImplemented
    assert dispatch(obj, np.add, "__call__", obj, 1, out=None) is NotImplemented
    assert dispatch(obj, np.sin, "__call__", obj) is NotImplemented
    assert dispatch(obj, FakeUfunc("add", nin=3), "__call__", obj, 1) is NotImplemented
    assert dispatch(obj, FakeUfunc("add", nin=2), "__call__", obj, 1) == ("__add__", (1,))
    # equal but not identical operands are not recognised
    a, b = float("1.5"), float("1.5")
    assert a is not b
    assert dispatch(a, np.add, "__call__", b, 1) is NotImplemented
    assert dispatch(a, np.add, "__call__", 1, b) is NotImplemented
    assert dispatch(obj, np.add, "__call__", 1, 2) is NotImplemented


def test_operand_roles(obj):
    assert dispatch(obj, np.add, "__call__", obj, obj) == ("__add__", (obj,))
    # a unary name with self second looks up the reflected name
    assert dispatch(obj, np.negative, "__call__", 1, obj) == ("__rneg__", (1,))
    assert dispatch(Bare(), np.negative, "__call__", 1, Bare()) is NotImplemented


def test_missing_and_declining_methods():
    bare = Bare()
    assert dispatch(bare, np.add, "__call__", bare, 1) is NotImplemented
    assert dispatch(bare, np.subtract, "__call__", 1, bare) is NotImplemented
    assert dispatch(bare, np.negative, "__call__", bare) is NotImplemented

    class Declines:
        def __add__(self, other):
            return NotImplemented

    d = Declines()
    assert dispatch(d, np.add, "__call__", d, 1) is NotImplemented

    class Raises:
        def __add__(self, other):
            raise KeyError("inside")

    r = Raises()
    with pytest.raises(KeyError):
        dispatch(r, np.add, "__call__", r, 1)

    class BrokenAttr:
        def __getattr__(self, name):
            raise ValueError(name)

    b = BrokenAttr()
    with pytest.raises(ValueError):
        dispatch(b, np.add, "__call__", b, 1)


def test_attribute_errors_of_the_ufunc(obj):
    class NoNin:
        __name__ = "add"

    assert dispatch(obj, NoNin(), "__call__", obj, 1, out=None) is NotImplemented
    with pytest.raises(AttributeError):
        dispatch(obj, NoNin(), "__call__", obj, 1)
    with pytest.raises(AttributeError):
        dispatch(obj, object(), "__call__", obj, 1, out=None)

    class BadNin:
        __name__ = "add"

        class nin:
            def __gt__(self, other):
                raise ZeroDivisionError

        nin = nin()

    with pytest.raises(ZeroDivisionError):
        dispatch(obj, BadNin(), "__call__", obj, 1)


def test_index_errors(obj):
    with pytest.raises(IndexError):
        dispatch(obj, np.add, "__call__")
    with pytest.raises(IndexError):
        dispatch(obj, np.add, "__call__", 1)

    looked_up = []

    class Tracks:
        def __getattr__(self, name):
            looked_up.append(name)
            raise AttributeError(name)

    t = Tracks()
    with pytest.raises(IndexError):
        dispatch(t, np.add, "__call__", t)
    assert looked_up == ["__add__"]


def test_unary_with_two_inputs_asserts(obj):
    with pytest.raises(AssertionError) as info:
        dispatch(obj, np.negative, "__call__", obj, 1)
    assert info.value.args == ()


def test_unary_without_assertions():
    code = textwrap.dedent(
        """
        import numpy as np
        from tavrel._libs.ufunc_bridge import maybe_dispatch_ufunc_to_dunder_op as dispatch
        class O:
            def __neg__(self, *args):
                return ("neg", args)
        o = O()
        print(dispatch(o, np.negative, "__call__", o, 1))
        """
    )
    proc = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "('neg', ())"


def test_binding_rules(obj):
    with pytest.raises(IndexError):
        dispatch(ufunc=np.add, method="__call__", self=obj)
    assert dispatch(obj, ufunc=np.add, method="reduce") is NotImplemented
    with pytest.raises(TypeError, match=r"^maybe_dispatch_ufunc_to_dunder_op\(\) takes at least 3 positional arguments \(2 given\)$"):
        dispatch(obj, np.add)
    with pytest.raises(TypeError, match=r"takes at least 3 positional arguments \(1 given\)$"):
        dispatch(obj, method="__call__")
    with pytest.raises(TypeError, match=r"^maybe_dispatch_ufunc_to_dunder_op\(\) got multiple values for keyword argument 'self'$"):
        dispatch(obj, np.add, "__call__", self=obj)
    with pytest.raises(TypeError, match=r"^Argument 'method' has incorrect type \(expected str, got bytes\)$"):
        dispatch(obj, np.add, b"__call__", obj, 1)

    class S(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got S\)$"):
        dispatch(obj, np.add, S("__call__"), obj, 1)
    with pytest.raises(TypeError, match="keywords must be strings"):
        dispatch(obj, np.add, "__call__", obj, 1, **{1: 2})


def test_extra_keywords_are_collected(obj):
    assert dispatch(obj, np.add, "__call__", obj, 1, where=True, casting="no") is NotImplemented


def test_tables():
    assert ufunc_bridge.DISPATCHED_UFUNCS == {
        "add", "sub", "mul", "pow", "mod", "floordiv", "truediv", "divmod", "eq", "ne", "lt", "gt",
        "le", "ge", "remainder", "matmul", "or", "xor", "and", "neg", "pos", "abs",
    }
    assert ufunc_bridge.UNARY_UFUNCS == {"neg", "pos", "abs"}
    assert list(ufunc_bridge.UFUNC_ALIASES.items()) == [
        ("subtract", "sub"), ("multiply", "mul"), ("floor_divide", "floordiv"), ("true_divide", "truediv"),
        ("power", "pow"), ("remainder", "mod"), ("divide", "truediv"), ("equal", "eq"), ("not_equal", "ne"),
        ("less", "lt"), ("less_equal", "le"), ("greater", "gt"), ("greater_equal", "ge"),
        ("bitwise_or", "or"), ("bitwise_and", "and"), ("bitwise_xor", "xor"), ("negative", "neg"),
        ("absolute", "abs"), ("positive", "pos"),
    ]
    assert list(ufunc_bridge.REVERSED_NAMES.items()) == [
        ("lt", "__gt__"), ("le", "__ge__"), ("gt", "__lt__"), ("ge", "__le__"), ("eq", "__eq__"), ("ne", "__ne__"),
    ]
    for table in ("DISPATCHED_UFUNCS", "UNARY_UFUNCS"):
        assert type(getattr(ufunc_bridge, table)) is set
    for table in ("UFUNC_ALIASES", "REVERSED_NAMES"):
        assert type(getattr(ufunc_bridge, table)) is dict


@pytest.fixture
def rebind():
    saved = {}

    def set_global(name, value):
        saved.setdefault(name, getattr(ufunc_bridge, name, None))
        if value is None:
            delattr(ufunc_bridge, name)
        else:
            setattr(ufunc_bridge, name, value)

    yield set_global
    for name, value in saved.items():
        setattr(ufunc_bridge, name, value)


def test_tables_are_read_at_call_time(obj, rebind):
    rebind("UFUNC_ALIASES", {"add": "sub"})
    assert dispatch(obj, np.add, "__call__", obj, 1) == ("__sub__", (1,))

    calls = []

    class Aliases:
        def get(self, key, default):
            calls.append((key, default))
            return default

    rebind("UFUNC_ALIASES", Aliases())
    dispatch(obj, np.add, "__call__", obj, 1)
    assert calls == [("add", "add")]

    rebind("UFUNC_ALIASES", object())
    with pytest.raises(AttributeError):
        dispatch(obj, np.add, "__call__", obj, 1, out=None)

    rebind("UFUNC_ALIASES", None)
    with pytest.raises(NameError, match=r"^name 'UFUNC_ALIASES' is not defined$"):
        dispatch(obj, np.add, "__call__", obj, 1)


def test_set_and_reversed_tables_rebound(obj, rebind):
    rebind("DISPATCHED_UFUNCS", ["sin"])
    assert dispatch(obj, np.sin, "__call__", obj, 1) == ("__sin__", (1,))
    assert dispatch(obj, np.add, "__call__", obj, 1) is NotImplemented
    rebind("UNARY_UFUNCS", frozenset({"sin"}))
    assert dispatch(obj, np.sin, "__call__", obj) == ("__sin__", ())

    class Reversed(dict):
        def get(self, key, default):
            return "__custom__"

    rebind("REVERSED_NAMES", Reversed())
    assert dispatch(obj, np.sin, "__call__", 1, obj) == ("__custom__", (1,))
    # a builtin of the same name is found when the module global is gone
    import builtins

    rebind("DISPATCHED_UFUNCS", None)
    builtins.DISPATCHED_UFUNCS = {"add"}
    try:
        assert dispatch(obj, np.add, "__call__", obj, 1) == ("__add__", (1,))
    finally:
        del builtins.DISPATCHED_UFUNCS
    with pytest.raises(NameError):
        dispatch(obj, np.add, "__call__", obj, 1)


def test_non_str_operator_names(obj, rebind):
    rebind("UFUNC_ALIASES", {"add": 5})
    rebind("DISPATCHED_UFUNCS", {5})
    assert dispatch(obj, np.add, "__call__", obj, 1) == ("__5__", (1,))
    rebind("UFUNC_ALIASES", {"add": [1]})
    with pytest.raises(TypeError):
        dispatch(obj, np.add, "__call__", obj, 1)


def test_function_surface():
    assert dispatch.__module__ == "tavrel._libs.ufunc_bridge"
    assert dispatch.__qualname__ == "maybe_dispatch_ufunc_to_dunder_op"
    assert dispatch.__doc__.startswith("Dispatch a ufunc to the equivalent dunder method.")
    assert "Parameters" in dispatch.__doc__ and "Returns" in dispatch.__doc__
    assert ufunc_bridge.__test__ == {}


def test_traceback_entry(obj):
    try:
        dispatch(obj, object(), "__call__")
    except AttributeError as exc:
        names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    assert names[-1] == "tavrel._libs.ufunc_bridge.maybe_dispatch_ufunc_to_dunder_op"


def test_through_array_ufunc():
    class Wrapped:
        def __init__(self, v):
            self.v = v

        def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
            return dispatch(self, ufunc, method, *inputs, **kwargs)

        def __add__(self, other):
            return Wrapped(self.v + other)

        def __rsub__(self, other):
            return Wrapped(other - self.v)

    w = Wrapped(3)
    assert np.add(w, 2).v == 5
    assert np.subtract(10, w).v == 7
    with pytest.raises(TypeError):
        np.sin(w)
