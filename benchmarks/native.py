"""The benchmarks' native loops, built through meson (benchmarks/meson.build)
in build/bench with the interpreter running the benchmark, on first use."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")


def meson(*args):
    subprocess.run([sys.executable, "-m", "mesonbuild.mesonmain", *args], check=True, stdout=subprocess.DEVNULL)


def build(target):
    """Builds one target of benchmarks/meson.build and returns its path."""
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        modules = "tavrel_parser,tavrel_datetime,almanac,ufunc_bridge,orderflip,properties,indexing,column_reader"
        meson("setup", BUILD, ROOT, "-Dbenchmarks=true", "-Dskip_modules=" + modules, "-Dbuildtype=release")
    meson("compile", "-C", BUILD, target)
    for name in (target, "lib" + target + ".so", target + ".so"):
        path = os.path.join(BUILD, "benchmarks", name)
        if os.path.exists(path):
            return path
    raise FileNotFoundError(target)


if __name__ == "__main__":
    # python benchmarks/native.py TARGET [ARGS...]: builds and runs an executable.
    sys.exit(subprocess.run([build(sys.argv[1]), *sys.argv[2:]]).returncode)
