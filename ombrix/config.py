"""Compiler and linker flags for C and C++ programs that use ombrix's C API.

The header ``ombrix.h`` and the library ``libombrix.so`` are installed inside
the Python package.  In the manner of pkg-config::

    cc prog.c $(python -P -m ombrix.config --cflags --libs) -o prog

``--libs`` adds an rpath, so the program finds the library without
LD_LIBRARY_PATH.  ``-P`` keeps the current folder off sys.path, which matters
in a source checkout (its ombrix/ folder has no compiled library).
"""

import argparse
import shlex
import sys

from . import get_include, get_lib_dir


def cflags():
    """The preprocessor flags that find ``ombrix.h``."""
    return [f"-I{get_include()}"]


def libs():
    """The linker flags for ``libombrix.so``, with an rpath to its folder."""
    lib_dir = get_lib_dir()
    return [f"-L{lib_dir}", f"-Wl,-rpath,{lib_dir}", "-lombrix"]


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m ombrix.config", allow_abbrev=False,
                                     description="Print the flags to build C and C++ programs against ombrix "
                                                 "(on one line, in the order asked).")
    parser.add_argument("--cflags", dest="parts", action="append_const", const="cflags",
                        help="the compiler flags (the header's folder)")
    parser.add_argument("--libs", dest="parts", action="append_const", const="libs",
                        help="the linker flags (the library, with an rpath)")
    parser.add_argument("--includedir", dest="parts", action="append_const", const="includedir",
                        help="the folder of ombrix.h")
    parser.add_argument("--libdir", dest="parts", action="append_const", const="libdir",
                        help="the folder of libombrix.so")
    parts = parser.parse_args(argv).parts
    if not parts:
        parser.error("give at least one of --cflags, --libs, --includedir, --libdir")
    words = {"cflags": cflags, "libs": libs,
             "includedir": lambda: [get_include()], "libdir": lambda: [get_lib_dir()]}
    print(" ".join(shlex.quote(word) for part in parts for word in words[part]()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
