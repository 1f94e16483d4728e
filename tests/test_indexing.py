"""NDFrameIndexerBase: arguments, attributes and the cached ndim."""

import gc
import weakref

import numpy as np
import pytest

from tavrel._libs import indexing
from tavrel._libs.indexing import NDFrameIndexerBase


class Container:
    """Counts reads of its ndim."""

    def __init__(self, ndim):
        self._ndim = ndim
        self.reads = 0

    @property
    def ndim(self):
        self.reads += 1
        return self._ndim


def test_class_layout():
    assert repr(NDFrameIndexerBase) == "<class 'tavrel._libs.indexing.NDFrameIndexerBase'>"
    assert NDFrameIndexerBase.__doc__ == (
        "\n    A base class for _NDFrameIndexer for fast instantiation and attribute access.\n    "
    )
    names = [n for n in vars(indexing) if not n.startswith("__") or n.startswith("__pyx")]
    assert names == ["NDFrameIndexerBase", "__pyx_unpickle_NDFrameIndexerBase"]
    idx = NDFrameIndexerBase("loc", None)
    assert not hasattr(idx, "__dict__") and not hasattr(idx, "_ndim")
    with pytest.raises(TypeError):
        weakref.ref(idx)


def test_construction_stores_fields():
    obj = object()
    idx = NDFrameIndexerBase("iloc", obj)
    assert idx.name == "iloc" and idx.obj is obj
    idx = NDFrameIndexerBase(obj=obj, name="at")
    assert idx.name == "at"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a",), {}, "__init__() takes exactly 2 positional arguments (1 given)"),
        (("a", 1, 2), {}, "__init__() takes exactly 2 positional arguments (3 given)"),
        (("a", 1), {"name": "b"}, "__init__() got multiple values for keyword argument 'name'"),
        (("a", 1), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
        ((None, 1), {}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        ((b"a", 1), {}, "Argument 'name' has incorrect type (expected str, got bytes)"),
    ],
)
def test_construction_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        NDFrameIndexerBase(*args, **kwargs)
    assert str(info.value) == message
    # the same rules through __init__ of an existing object, which is left as it was
    idx = NDFrameIndexerBase("keep", 1)
    with pytest.raises(TypeError) as info:
        idx.__init__(*args, **kwargs)
    assert str(info.value) == message
    assert idx.name == "keep" and idx.obj == 1


def test_str_subclass_name_is_refused_with_a_note():
    class Name(str):
        pass

    with pytest.raises(TypeError) as info:
        NDFrameIndexerBase(Name("loc"), 1)
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got Name)"
    assert any("subclasses of builtin types" in note for note in info.value.__notes__)
    idx = NDFrameIndexerBase("loc", 1)
    with pytest.raises(TypeError) as info:
        idx.name = Name("x")
    assert str(info.value) == "Expected str, got Name"
    assert not getattr(info.value, "__notes__", None)


def test_name_and_obj_attributes():
    idx = NDFrameIndexerBase("loc", 1)
    idx.name = None
    assert idx.name is None
    idx.name = "x"
    del idx.name
    assert idx.name is None
    with pytest.raises(TypeError) as info:
        idx.name = 3
    assert str(info.value) == "Expected str, got int"
    idx.obj = [1]
    assert idx.obj == [1]
    del idx.obj
    assert idx.obj is None


def test_ndim_is_read_only():
    idx = NDFrameIndexerBase("loc", Container(2))
    with pytest.raises(AttributeError):
        idx.ndim = 1
    with pytest.raises(AttributeError):
        del idx.ndim


def test_ndim_read_once_and_returns_the_object_read():
    obj = Container(np.int64(2))
    idx = NDFrameIndexerBase("loc", obj)
    first = idx.ndim
    assert first is obj._ndim
    second = idx.ndim
    assert type(second) is int and second == 2 and obj.reads == 1
    idx.obj = Container(1)  # replacing obj keeps the cache
    assert idx.ndim == 2
    idx.__init__("loc", Container(1))  # __init__ resets it
    assert idx.ndim == 1


def test_ndim_above_two_raises_once():
    obj = Container(3)
    idx = NDFrameIndexerBase("loc", obj)
    with pytest.raises(ValueError) as info:
        idx.ndim
    assert str(info.value) == "NDFrameIndexer does not support NDFrame objects with ndim > 2"
    assert idx.ndim == 3 and obj.reads == 1


def test_ndim_minus_one_is_read_every_time():
    obj = Container(-1)
    idx = NDFrameIndexerBase("loc", obj)
    assert idx.ndim == -1 and idx.ndim == -1 and obj.reads == 2


def test_ndim_conversion_failure_retries():
    obj = Container(1.5)
    idx = NDFrameIndexerBase("loc", obj)
    for _ in range(2):
        with pytest.raises(TypeError):
            idx.ndim
    assert obj.reads == 2
    obj._ndim = 2**80
    with pytest.raises(OverflowError):
        idx.ndim
    obj._ndim = 1
    assert idx.ndim == 1


def test_ndim_comparison_uses_rich_compare():
    class Odd(int):
        def __gt__(self, other):
            return "yes"  # truthy

    idx = NDFrameIndexerBase("loc", Container(Odd(1)))
    with pytest.raises(ValueError):
        idx.ndim
    assert idx.ndim == 1

    class Bad(int):
        def __gt__(self, other):
            raise ArithmeticError("compare")

    idx = NDFrameIndexerBase("loc", Container(Bad(1)))
    with pytest.raises(ArithmeticError):
        idx.ndim


def test_ndim_after_obj_deleted():
    idx = NDFrameIndexerBase("loc", Container(2))
    del idx.obj
    with pytest.raises(AttributeError):
        idx.ndim


def test_bare_instance():
    idx = NDFrameIndexerBase.__new__(NDFrameIndexerBase)
    assert idx.ndim == 0 and idx.name is None and idx.obj is None


def test_subclass_and_gc():
    class Indexer(NDFrameIndexerBase):
        def __init__(self, name, obj, extra):
            super().__init__(name, obj)
            self.extra = extra

    class Frame:
        ndim = 2

    frame = Frame()
    idx = Indexer("loc", frame, 5)
    assert idx.ndim == 2 and idx.extra == 5
    frame.loc = idx  # frame -> idx -> frame
    probe = weakref.ref(frame)
    del frame, idx
    gc.collect()
    assert probe() is None

    # the same cycle through a plain instance
    frame = Frame()
    frame.loc = NDFrameIndexerBase("loc", frame)
    probe = weakref.ref(frame)
    del frame
    gc.collect()
    assert probe() is None


def test_ndim_read_that_drops_obj():
    class Dropping:
        @property
        def ndim(self):
            del idx.obj  # the indexer's reference goes away mid-read
            return 2

    idx = NDFrameIndexerBase("loc", Dropping())
    assert idx.ndim == 2 and idx.obj is None
