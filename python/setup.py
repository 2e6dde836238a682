"""Builds nerido._core with the project's CMake build and puts it in the package.

The extension is a target of the repository's CMake build (python/CMakeLists.txt),
with the library's own sources, flags and version. This file configures that
build for the interpreter it runs under (tests and benchmarks off), builds the
one target `_core` and copies the module into the package.

pip builds a local directory in place, so the repository is the parent of this
folder; a build from a copied tree (an sdist, or a pip that copies) finds it
through NERIDO_SOURCE_DIR. NERIDO_BUILD_DIR names an already configured build
folder of the repository to take the module from instead (the project's
tests do that, so the module is compiled once).
"""

import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent


def repository_root() -> Path:
    """The repository's root: NERIDO_SOURCE_DIR, else the parent of python/."""
    configured = os.environ.get("NERIDO_SOURCE_DIR")
    root = Path(configured).resolve() if configured else HERE.parent
    if not (root / "CMakeLists.txt").is_file() or not (root / "python/CMakeLists.txt").is_file():
        raise SystemExit(
            f"nerido: the repository is not at {root} (no CMakeLists.txt and "
            "python/CMakeLists.txt there). Build from python/ inside the repository, or set "
            "NERIDO_SOURCE_DIR to the repository's root."
        )
    return root


def run(command):
    print("nerido:", " ".join(str(part) for part in command), file=sys.stderr, flush=True)
    try:
        subprocess.run([str(part) for part in command], check=True)
    except FileNotFoundError:
        raise SystemExit("nerido: cmake not found (Debian package cmake)") from None
    except subprocess.CalledProcessError as error:
        raise SystemExit(f"nerido: {command[0]} failed with status {error.returncode}") from None


def configured_build() -> Path:
    """A CMake build folder of the repository, configured for this interpreter.

    Each interpreter installation gets its own folder: CMake keeps the
    interpreter's headers in its cache.
    """
    given = os.environ.get("NERIDO_BUILD_DIR")
    if given:
        build = Path(given).resolve()
        if not (build / "python/version.txt").is_file():
            raise SystemExit(f"nerido: NERIDO_BUILD_DIR={build} is not a configured build of nerido")
        return build
    key = hashlib.sha1(sys.base_prefix.encode()).hexdigest()[:8]
    build = HERE / "build" / f"cmake-{sys.implementation.cache_tag}-{key}"
    run([
        "cmake", "-S", ROOT, "-B", build,
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DPYTHON_EXECUTABLE={sys.executable}",
        "-DNERIDO_PYTHON=ON", "-DNERIDO_TESTS=OFF", "-DNERIDO_BENCH=OFF",
    ])
    return build


class BuildWithCMake(build_ext):
    """Builds the CMake target `_core` and copies the module where setuptools
    packs it."""

    def build_extension(self, ext):
        jobs = os.environ.get("NERIDO_BUILD_JOBS", "2")
        run(["cmake", "--build", BUILD, "--target", "_core", "-j", jobs])
        listed = BUILD / "python/module-path.txt"
        if not listed.is_file():
            raise SystemExit(
                "nerido: the CMake build has no Python module: see its message "
                "'nerido: Python module skipped: ...' above"
            )
        module = Path(listed.read_text(encoding="utf-8").strip())
        destination = Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(module, destination)


ROOT = repository_root()
BUILD = configured_build()
# Written by CMake from project(nerido VERSION ...), the one version.
VERSION = (BUILD / "python/version.txt").read_text(encoding="utf-8").strip()

setup(
    version=VERSION,
    ext_modules=[Extension("nerido._core", sources=[])],
    cmdclass={"build_ext": BuildWithCMake},
)
