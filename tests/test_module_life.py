"""Life cycle shared by the Python-level modules: created once per process."""

import ctypes
import importlib
import subprocess
import sys
import textwrap
import types

import pytest

MODULES = {
    "tavrel._libs.orderflip": "orderflip",
    "tavrel._libs.ufunc_bridge": "ufunc_bridge",
    "tavrel._libs.tslibs.almanac": "almanac",
    "tavrel._libs.properties": "properties",
    "tavrel._libs.indexing": "indexing",
}


@pytest.fixture(params=sorted(MODULES))
def module(request):
    return importlib.import_module(request.param)


def test_test_dict_and_function_modules(module):
    assert module.__test__ == {}
    for value in vars(module).values():
        if isinstance(value, types.BuiltinFunctionType):
            assert value.__module__ == module.__name__


def test_reimport_gives_the_same_module(module):
    name = module.__name__
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = module
    assert again is module


def test_second_module_object_is_refused(module):
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)
    assert definition
    short = MODULES[module.__name__]
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(types.ModuleType(module.__name__), definition)
    assert str(info.value) == (
        f"Module '{short}' has already been imported. Re-initialisation is not supported."
    )
    # executing the module that was built is a no-op
    assert api.PyModule_ExecDef(module, definition) == 0


SUBINTERPRETER = textwrap.dedent(
    """
    import sys
    import {name}
    code = "import {name}"
    try:
        import _interpreters as interp          # 3.13 and later
    except ImportError:
        try:
            import _xxsubinterpreters as interp  # 3.11, 3.12
        except ImportError:
            print("SKIP")
            raise SystemExit(0)
    cid = interp.create()
    try:
        result = interp.run_string(cid, code)
    except Exception as exc:                      # older: raises RunFailedError
        print(exc)
    else:
        print(result)
    finally:
        interp.destroy(cid)
    """
)


@pytest.mark.parametrize("name", sorted(MODULES))
def test_second_interpreter_is_refused(name):
    proc = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER.format(name=name)], capture_output=True, text=True
    )
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "SKIP":
        pytest.skip("no subinterpreter support in this interpreter")
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
        in proc.stdout
    ), proc.stdout
