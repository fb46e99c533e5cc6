"""The build backend: scikit-build-core, after a check of what a build from source needs.

Where the wheels do not fit (another processor, a C library older than theirs),
pip builds from the source archive. Without a C++20 compiler or xxHash's header
CMake would fail pages deep; this stops first, with one line that names the part.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F401,F403 - the hooks not wrapped below

CXX20_PROBE = """\
#include <concepts>
#include <span>
#if __cplusplus < 202002L
#error C++20
#endif
int main() { return 0; }
"""
XXHASH_PROBE = """\
#include <xxhash.h>
int main() { return int(XXH3_64bits_withSeed("", 0, 0) & 1); }
"""


class MissingPart(Exception):
    pass


def find_compiler(env):
    wanted = env.get("CXX")
    names = [wanted] if wanted else ["c++", "g++", "clang++"]
    for name in names:
        # CXX may carry arguments ("zig c++"): the first word is the program.
        path = shutil.which(name.split()[0], path=env.get("PATH"))
        if path:
            return [path, *name.split()[1:]]
    raise MissingPart("a C++ compiler (g++ 10 or newer, or clang++ 12 or newer; tried "
                      + ", ".join(names) + ")")


def check_toolchain(env=None):
    """Raises MissingPart naming the first thing a source build lacks."""
    env = dict(os.environ if env is None else env)
    compiler = find_compiler(env)
    with tempfile.TemporaryDirectory() as work:
        def compiles(source, *flags):
            probe = os.path.join(work, "probe.cpp")
            with open(probe, "w", encoding="ascii") as f:
                f.write(source)
            result = subprocess.run([*compiler, *flags, "-fsyntax-only", probe],
                                    capture_output=True, text=True, env=env)
            return result.returncode == 0

        if not compiles("int main() { return 0; }\n"):
            raise MissingPart(f"a working C++ compiler ({compiler[0]} fails on an empty program)")
        if not compiles(CXX20_PROBE, "-std=c++20"):
            raise MissingPart(f"a C++20 compiler ({compiler[0]} is older: g++ 10 or clang++ 12 is the least)")
        if not compiles(XXHASH_PROBE, "-std=c++20", "-DXXH_INLINE_ALL"):
            raise MissingPart("xxHash's header xxhash.h (Debian and Ubuntu: libxxhash-dev; RHEL: xxhash-devel)")


def _checked(hook):
    def run(*args, **kwargs):
        try:
            check_toolchain()
        except MissingPart as missing:
            sys.exit(f"kestrova: building from source needs {missing}")
        return hook(*args, **kwargs)
    run.__name__ = hook.__name__
    return run


build_wheel = _checked(_backend.build_wheel)
build_editable = _checked(_backend.build_editable)
