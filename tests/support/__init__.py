"""Helpers shared by the tests (and the benchmarks): ctypes clients of the
function tables the native modules publish, reached through their capsules
as another extension module would, and reference implementations to compare
the native code with."""
