import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st

from tavrel._libs import orderflip

READERS = {
    # name: (size, little-endian format, big-endian format)
    "read_uint16_with_orderflip": (2, "<H", ">H"),
    "read_uint32_with_orderflip": (4, "<I", ">I"),
    "read_uint64_with_orderflip": (8, "<Q", ">Q"),
    "read_float_with_orderflip": (4, "<f", ">f"),
    "read_double_with_orderflip": (8, "<d", ">d"),
}
SSIZE_MAX = sys.maxsize


def reader(name):
    return getattr(orderflip, name)


@pytest.mark.parametrize(
    "name, data, flip, expected",
    [
        ("read_uint16_with_orderflip", b"\x01\x02\x03", False, 513),
        ("read_uint16_with_orderflip", b"\x01\x02\x03", True, 258),
        ("read_uint32_with_orderflip", b"\x01\x02\x03\x04\x05", False, 67305985),
        ("read_uint32_with_orderflip", b"\x01\x02\x03\x04\x05", True, 16909060),
        ("read_float_with_orderflip", b"\x00\x00\x80\x3f\x00", False, 1.0),
        ("read_float_with_orderflip", b"\x3f\x80\x00\x00\x00", True, 1.0),
        ("read_double_with_orderflip", b"\x00\x00\x00\x00\x00\x00\xf0\x3f\x00", False, 1.0),
        ("read_uint64_with_orderflip", b"\xff" * 9, False, 18446744073709551615),
        ("read_uint64_with_orderflip", b"\xff" * 9, True, 18446744073709551615),
    ],
)
def test_documented_values(name, data, flip, expected):
    result = reader(name)(data, 0, flip)
    assert result == expected
    assert type(result) is type(expected)


@given(st.sampled_from(sorted(READERS)), st.binary(min_size=9, max_size=40), st.data())
def test_matches_struct(name, data, draw):
    size, little, big = READERS[name]
    offset = draw.draw(st.integers(0, len(data) - size - 1))
    for flip, fmt in ((False, little), (True, big)):
        got = reader(name)(data, offset, flip)
        (want,) = struct.unpack_from(fmt, data, offset)
        if isinstance(want, float) and want != want:
            assert got != got
        else:
            assert got == want


@pytest.mark.parametrize("name", sorted(READERS))
def test_bounds_with_assertions(name):
    size = READERS[name][0]
    f = reader(name)
    data = bytes(range(size + 1))
    assert f(data, 0, False) is not None
    # the scalar ending at the last byte is refused while assertions are on
    with pytest.raises(AssertionError) as info:
        f(bytes(size), 0, False)
    assert str(info.value) == ""
    for offset in (1, 2, size + 5, SSIZE_MAX, -1, -size, -size - 1, -SSIZE_MAX - 1):
        with pytest.raises(AssertionError):
            f(data, offset, False)


def test_argument_errors():
    f = orderflip.read_uint32_with_orderflip
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected bytes, got bytearray\)$"):
        f(bytearray(8), 0, False)

    class B(bytes):
        pass

    with pytest.raises(TypeError, match=r"expected bytes, got B\)$"):
        f(B(8), 0, False)
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        f(None, 0, False)
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        f(b"12345", 1.5, False)
    with pytest.raises(OverflowError):
        f(b"12345", SSIZE_MAX + 1, False)
    with pytest.raises(TypeError, match=r"^read_uint32_with_orderflip\(\) takes exactly 3 positional arguments \(2 given\)$"):
        f(b"12345", 0)
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(4 given\)$"):
        f(b"12345", 0, 1, 2)
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(1 given\)$"):
        f(b"12345", orderflip=True)
    with pytest.raises(TypeError, match=r"^read_uint32_with_orderflip\(\) got an unexpected keyword argument 'x'$"):
        f(b"12345", 0, False, x=1)
    with pytest.raises(TypeError, match=r"^read_uint32_with_orderflip\(\) got multiple values for keyword argument 'data'$"):
        f(b"12345", 0, False, data=b"")


def test_argument_conversion_order():
    f = orderflip.read_uint16_with_orderflip

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    # offset is converted before orderflip, orderflip before data's type check
    with pytest.raises(TypeError, match="cannot be interpreted"):
        f(bytearray(4), "x", Bad())
    with pytest.raises(ZeroDivisionError):
        f(bytearray(4), 0, Bad())


def test_orderflip_truth_and_keywords():
    f = orderflip.read_uint16_with_orderflip
    data = b"\x01\x02\x03"
    assert f(data, 0, "") == 513
    assert f(data, 0, [0]) == 258
    assert f(data, 0, None) == 513
    assert f(orderflip=True, offset=0, data=data) == 258

    class Index:
        def __index__(self):
            return 1

    assert f(data + b"\x00", Index(), False) == 770


def test_module_surface():
    assert orderflip.__doc__ == (
        "\nThe following are faster versions of struct.unpack that avoid the overhead of Python\n"
        "function calls.\n\nIn the SAS7BDAT parser, they may be called up to (n_rows * n_cols) times.\n"
    )
    assert orderflip.__test__ == {}
    for name in READERS:
        assert reader(name).__module__ == "tavrel._libs.orderflip"


def test_traceback_names_the_function():
    import traceback

    try:
        orderflip.read_uint16_with_orderflip(b"", 0, False)
    except AssertionError as exc:
        names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    assert names[-1] == "tavrel._libs.orderflip.read_uint16_with_orderflip"


def run_optimised(body):
    code = "from tavrel._libs import orderflip as o\n" + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_without_assertions():
    out = run_optimised(
        """
        f = o.read_uint32_with_orderflip
        print(f(b"\\x01\\x02\\x03\\x04", 0, False))   # ends at the last byte: read
        for off in (1, -1, -4, -5, 2**30):
            try:
                f(b"\\x01\\x02\\x03\\x04", off, False)
            except AssertionError:
                print("refused", off)
        try:
            f(None, 0, False)
        except TypeError as e:
            print(e)
        """
    )
    assert out.splitlines() == [
        "67305985",
        "refused 1",
        "refused -1",
        "refused -4",
        "refused -5",
        "refused 1073741824",
        "expected bytes, NoneType found",
    ]
