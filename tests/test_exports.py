"""Each extension module is a shared library whose only export is PyInit_<name>."""

import importlib
import shutil
import subprocess

import pytest

MODULES = [
    "tavrel._libs.tavrel_parser",
    "tavrel._libs.tavrel_datetime",
    "tavrel._libs.tslibs.almanac",
    "tavrel._libs.ufunc_bridge",
    "tavrel._libs.orderflip",
    "tavrel._libs.properties",
    "tavrel._libs.indexing",
    "tavrel._libs.column_reader",
]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    path = importlib.import_module(name).__file__
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]
    assert exported == ["PyInit_" + name.rsplit(".", 1)[1]]
