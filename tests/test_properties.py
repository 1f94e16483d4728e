"""CachedProperty / cache_readonly and AxisProperty."""

import gc
import sys
import weakref

import numpy as np
import pytest

from tavrel._libs import properties
from tavrel._libs.properties import AxisProperty, CachedProperty, cache_readonly


class Counter:
    """fget double that counts its calls."""

    def __init__(self, result=42, name="value"):
        self.calls = 0
        self.result = result
        self.__name__ = name
        self.__doc__ = "counted"

    def __call__(self, obj):
        self.calls += 1
        return self.result


def make_class(fget):
    return type("Owner", (), {"prop": CachedProperty(fget)})


# ---------------------------------------------------------------------------
# CachedProperty: construction and fields


def test_module_layout():
    assert cache_readonly is CachedProperty
    names = [n for n in vars(properties) if not n.startswith("__") or n.startswith("__pyx")]
    assert names == [
        "CachedProperty",
        "AxisProperty",
        "cache_readonly",
        "__pyx_unpickle_CachedProperty",
        "__pyx_unpickle_AxisProperty",
    ]
    assert CachedProperty.__module__ == "tavrel._libs.properties"
    assert repr(CachedProperty) == "<class 'tavrel._libs.properties.CachedProperty'>"
    assert repr(AxisProperty) == "<class 'tavrel._libs.properties.AxisProperty'>"


def test_fields_from_fget():
    def area(self):
        """The area."""

    p = CachedProperty(area)
    assert p.fget is area and p.name == "area" and p.__doc__ == "The area."
    p = CachedProperty(fget=lambda self: 1)
    assert p.name == "<lambda>" and p.__doc__ is None


def test_fresh_instance_holds_none():
    p = CachedProperty.__new__(CachedProperty)
    assert (p.fget, p.name, p.__doc__) == (None, None, None)
    a = AxisProperty.__new__(AxisProperty)
    assert (a.axis, a.__doc__) == (0, None)


def test_name_may_be_anything_and_errors_propagate_after_fget_is_stored():
    class NoName:
        def __getattr__(self, attr):
            if attr == "__name__":
                raise KeyError("boom")
            raise AttributeError(attr)

    f = NoName()
    p = CachedProperty.__new__(CachedProperty)
    with pytest.raises(KeyError):
        p.__init__(f)
    assert p.fget is f and p.name is None

    class BadDoc:
        __name__ = 7

        @property
        def __doc__(self):
            raise ValueError("doc")

    with pytest.raises(ValueError):
        CachedProperty(BadDoc())

    class MissingDoc:
        __name__ = "m"

        def __getattribute__(self, attr):
            if attr == "__doc__":
                raise AttributeError(attr)
            return object.__getattribute__(self, attr)

    p = CachedProperty(MissingDoc())
    assert p.name == "m" and p.__doc__ is None
    assert CachedProperty(BadDoc.__dict__["__doc__"].fget).name == "__doc__"


def test_init_again_replaces_fields():
    p = CachedProperty(Counter(name="a"))
    g = Counter(name="b")
    p.__init__(g)
    assert p.fget is g and p.name == "b"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "__init__() takes exactly 1 positional argument (2 given)"),
        ((len,), {"fget": len}, "__init__() got multiple values for keyword argument 'fget'"),
        ((), {"f": len}, "__init__() takes exactly 1 positional argument (0 given)"),
        ((len,), {"other": 1}, "__init__() got an unexpected keyword argument 'other'"),
    ],
)
def test_cached_property_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CachedProperty(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("attr", ["fget", "name", "__doc__"])
def test_cached_property_fields_are_read_only(attr):
    p = CachedProperty(len)
    with pytest.raises(AttributeError):
        setattr(p, attr, 1)
    with pytest.raises(AttributeError):
        delattr(p, attr)
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)


# ---------------------------------------------------------------------------
# CachedProperty: reads


def test_computes_once_and_returns_identical_object():
    f = Counter(result=object())
    obj = make_class(f)()
    first = obj.prop
    assert obj.prop is first and f.calls == 1
    assert obj._cache == {"value": first}


@pytest.mark.parametrize("initial", ["absent", None])
def test_none_is_cached_and_cache_created(initial):
    f = Counter(result=None)
    obj = make_class(f)()
    if initial is None:
        obj._cache = None
    assert obj.prop is None and obj.prop is None
    assert f.calls == 1 and obj._cache == {"value": None}


def test_existing_cache_entry_is_served():
    f = Counter()
    obj = make_class(f)()
    obj._cache = {"value": "preset"}
    assert obj.prop == "preset" and f.calls == 0


def test_invalidation_by_cache_edits():
    f = Counter()
    obj = make_class(f)()
    obj.prop
    del obj._cache["value"]
    obj.prop
    obj._cache = None
    obj.prop
    obj._cache = {}
    obj.prop
    assert f.calls == 4


def test_object_refusing_cache_gets_descriptor_back():
    f = Counter()

    class Slotted:
        __slots__ = ()
        prop = CachedProperty(f)

    obj = Slotted()
    try:
        raise KeyError("being handled")
    except KeyError as handled:
        assert obj.prop is Slotted.__dict__["prop"]
        assert obj.prop is Slotted.__dict__["prop"]
        assert sys.exc_info()[1] is handled
    assert f.calls == 0


def test_cache_setattr_errors_other_than_attribute_error_propagate():
    class Picky:
        prop = CachedProperty(Counter())

        def __setattr__(self, name, value):
            raise ValueError(name)

    with pytest.raises(ValueError, match="_cache"):
        Picky().prop

    class SubAttr(AttributeError):
        pass

    class Refuses:
        prop = CachedProperty(Counter())

        def __setattr__(self, name, value):
            raise SubAttr(name)

    assert Refuses().prop is Refuses.__dict__["prop"]


def test_cache_lookup_errors_other_than_attribute_error_propagate():
    class Broken:
        prop = CachedProperty(Counter())

        @property
        def _cache(self):
            raise RuntimeError("lookup")

    with pytest.raises(RuntimeError, match="lookup"):
        Broken().prop


def test_fget_error_caches_nothing_but_cache_stays():
    def failing(self):
        raise ZeroDivisionError

    obj = make_class(failing)()
    with pytest.raises(ZeroDivisionError):
        obj.prop
    assert obj._cache == {}


def test_same_name_shares_a_slot():
    f, g = Counter(result=1), Counter(result=2)

    class Two:
        a = CachedProperty(f)
        b = CachedProperty(g)

    obj = Two()
    assert obj.a == 1 and obj.b == 1 and g.calls == 0


def test_unhashable_name_raises():
    f = Counter()
    f.__name__ = ["unhashable"]
    with pytest.raises(TypeError, match="unhashable"):
        make_class(f)().prop


@pytest.mark.parametrize("bad", [[], "text", 0, (1,)])
def test_non_dict_cache_is_a_clear_type_error(bad):
    obj = make_class(Counter())()
    obj._cache = bad
    with pytest.raises(TypeError) as info:
        obj.prop
    assert "'_cache' attribute" in str(info.value) and type(bad).__name__ in str(info.value)


def test_dict_subclass_cache_is_used():
    class D(dict):
        pass

    obj = make_class(Counter())()
    obj._cache = D()
    assert obj.prop == 42 and obj._cache == {"value": 42}


def test_class_read_returns_descriptor_and_touches_nothing():
    f = Counter()
    Owner = make_class(f)
    p = Owner.__dict__["prop"]
    assert Owner.prop is p and p.__get__(None, Owner) is p
    assert not hasattr(Owner, "_cache") and f.calls == 0


def test_set_and_delete_are_refused_even_with_instance_dict():
    obj = make_class(Counter())()
    with pytest.raises(AttributeError) as info:
        obj.prop = 1
    assert str(info.value) == "Can't set attribute"
    with pytest.raises(NotImplementedError) as info:
        del obj.prop
    assert str(info.value) == "__delete__"
    assert "prop" not in vars(obj)
    # a data descriptor: an instance dict entry does not shadow it
    obj.__dict__["prop"] = "shadow"
    assert obj.prop == 42


def test_traceback_names_the_method():
    def failing(self):
        raise ZeroDivisionError

    obj = make_class(failing)()
    with pytest.raises(ZeroDivisionError) as info:
        obj.prop
    names = [entry.name for entry in info.traceback]
    assert "tavrel._libs.properties.CachedProperty.__get__" in names


# ---------------------------------------------------------------------------
# AxisProperty


class Mgr:
    def __init__(self, axes):
        self.axes = axes


class Frame:
    rows = AxisProperty(0, "rows doc")
    cols = AxisProperty(1)
    last = AxisProperty(-1)
    far = AxisProperty(2)

    def __init__(self, axes):
        self._mgr = Mgr(axes)
        self.calls = []

    def _set_axis(self, axis, value):
        self.calls.append((axis, value))
        return "ignored"


def test_axis_property_reads():
    a, b = object(), object()
    frame = Frame([a, b])
    assert frame.rows is a and frame.cols is b and frame.last is b
    with pytest.raises(IndexError, match="list index out of range"):
        frame.far
    with pytest.raises(IndexError):
        Frame([]).last
    assert Frame.rows is Frame.__dict__["rows"]


@pytest.mark.parametrize(
    "axes, message",
    [
        (("a", "b"), "Expected list, got tuple"),
        (None, "'NoneType' object is not subscriptable"),
        (type("L", (list,), {})(["a"]), "Expected list, got L"),
    ],
)
def test_axis_property_needs_exact_list(axes, message):
    with pytest.raises(TypeError) as info:
        Frame(axes).rows
    assert str(info.value) == message


def test_axis_property_lookup_errors_propagate():
    class NoMgr:
        rows = AxisProperty()

    with pytest.raises(AttributeError, match="_mgr"):
        NoMgr().rows
    frame = Frame([1])
    frame._mgr = object()
    with pytest.raises(AttributeError, match="axes"):
        frame.rows


def test_axis_property_set_and_delete():
    frame = Frame([1, 2])
    frame.cols = "new"
    frame.last = "z"
    assert frame.calls == [(1, "new"), (-1, "z")]
    assert type(frame.calls[0][0]) is int
    with pytest.raises(NotImplementedError) as info:
        del frame.cols
    assert str(info.value) == "__delete__"

    class NoSetter:
        rows = AxisProperty()

    with pytest.raises(AttributeError, match="_set_axis"):
        NoSetter().rows = 1


def test_axis_property_arguments():
    assert AxisProperty().axis == 0 and AxisProperty().__doc__ == ""
    assert AxisProperty(True).axis == 1
    assert AxisProperty(np.int64(-3)).axis == -3
    p = AxisProperty(doc=5, axis=2)
    assert (p.axis, p.__doc__) == (2, 5)
    with pytest.raises(TypeError):
        AxisProperty(1.0)
    with pytest.raises(OverflowError):
        AxisProperty(sys.maxsize + 1)
    assert AxisProperty(-sys.maxsize - 1).axis == -sys.maxsize - 1
    with pytest.raises(TypeError) as info:
        AxisProperty(1, "d", 3)
    assert str(info.value) == "__init__() takes at most 2 positional arguments (3 given)"
    with pytest.raises(TypeError) as info:
        AxisProperty(1, axis=2)
    assert str(info.value) == "__init__() got multiple values for keyword argument 'axis'"
    with pytest.raises(TypeError) as info:
        AxisProperty(bad=2)
    assert str(info.value) == "__init__() got an unexpected keyword argument 'bad'"


def test_axis_extreme_negative_index_is_out_of_range():
    frame = Frame([1, 2])
    Frame.tmp = AxisProperty(-sys.maxsize - 1)
    try:
        with pytest.raises(IndexError):
            frame.tmp
    finally:
        del Frame.tmp


@pytest.mark.parametrize("attr", ["axis", "__doc__"])
def test_axis_property_fields_are_read_only(attr):
    p = AxisProperty(1, "d")
    with pytest.raises(AttributeError):
        setattr(p, attr, 0)


# ---------------------------------------------------------------------------
# Subclassing and garbage collection


def test_python_subclasses_get_dict_and_weakref():
    class MyCached(CachedProperty):
        pass

    class MyAxis(AxisProperty):
        pass

    p = MyCached(Counter())
    p.extra = 1
    weakref.ref(p)

    class Owner:
        prop = p
        ax = MyAxis(0)
        _mgr = Mgr(["x"])

    assert Owner().prop == 42 and Owner().ax == "x"


def test_cycle_through_fget_is_collected():
    class Owner:
        pass

    class MyCached(CachedProperty):
        pass

    def fget(self, _keep=[]):
        return 1

    prop = MyCached(fget)
    fget.__defaults__ = ([prop],)  # prop -> fget -> defaults -> prop
    probe = weakref.ref(prop)
    Owner.prop = prop
    del prop, fget, Owner
    gc.collect()
    assert probe() is None


def test_cycle_through_doc_of_plain_instance_is_collected():
    class Holder:
        pass

    holder = Holder()
    holder.__name__ = "h"
    holder.__doc__ = None
    prop = CachedProperty(holder)
    holder.prop = prop  # prop -> fget (holder) -> prop
    probe = weakref.ref(holder)
    del holder, prop
    gc.collect()
    assert probe() is None

    doc_holder = Holder()
    axis = AxisProperty(0, doc_holder)
    doc_holder.axis = axis
    probe = weakref.ref(doc_holder)
    del doc_holder, axis
    gc.collect()
    assert probe() is None


def test_reentrant_fget_replacing_the_descriptor_fields_and_cache():
    def other(self):
        return "other"

    def first(self):
        prop.__init__(other)  # drops the descriptor's own references mid-call
        self._cache = None  # and detaches the dict being filled
        return "first"

    prop = CachedProperty(first)
    Owner = type("Owner", (), {"prop": prop})
    obj = Owner()
    assert obj.prop == "first"
    assert prop.name == "other" and obj._cache is None
    assert obj.prop == "other" and obj._cache == {"other": "other"}
