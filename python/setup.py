"""Builds nerido._core from the library's own sources with its numerics flags.

The package lives in python/ of the repository and compiles ../src. pip
builds a local directory in place, so the sources are found next to this
file; a build from a copied tree (an sdist, or a pip that copies) finds them
through NERIDO_SOURCE_DIR, the repository's root.
"""

import os
import re
import subprocess
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = Path(__file__).resolve().parent

# The library folders compiled into the extension. src/retrieval joins the
# build as soon as it holds sources.
LIBRARY_FOLDERS = ("emissivity", "radiance", "nerido", "retrieval")

# The numerics flags of the library's own CMake build (nerido_options): no
# fused multiply-add, no fast math, and every elementary function called in
# the C library rather than folded by the compiler. The -fno-builtin-* set is
# read from the top CMakeLists.txt as well, so a function added there is
# added here. extra_compile_args come after any CFLAGS a user sets, so these
# win.
NUMERICS_FLAGS = [
    "-ffp-contract=off",
    "-fno-fast-math",
    "-fno-builtin-exp",
    "-fno-builtin-pow",
    "-fno-builtin-sin",
    "-fno-builtin-cos",
    "-fno-builtin-atan2",
]


def repository_root() -> Path:
    """The repository's root: NERIDO_SOURCE_DIR, else the parent of python/."""
    configured = os.environ.get("NERIDO_SOURCE_DIR")
    root = Path(configured).resolve() if configured else HERE.parent
    if not (root / "CMakeLists.txt").is_file() or not (root / "src/nerido/nerido.hpp").is_file():
        raise SystemExit(
            f"nerido: the library sources are not at {root} (no CMakeLists.txt and "
            "src/nerido/nerido.hpp there). Build from python/ inside the repository, or set "
            "NERIDO_SOURCE_DIR to the repository's root."
        )
    return root


def project_version(root: Path) -> tuple:
    """(major, minor, patch) from project(nerido VERSION x.y.z) of the top CMakeLists.txt."""
    text = (root / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*nerido\s+VERSION\s+(\d+)\.(\d+)\.(\d+)", text)
    if not match:
        raise SystemExit(f"nerido: no 'project(nerido VERSION x.y.z' in {root / 'CMakeLists.txt'}")
    return tuple(int(part) for part in match.groups())


def numerics_flags(root: Path) -> list:
    """NUMERICS_FLAGS and every -fno-builtin-* flag of nerido_options."""
    text = (root / "CMakeLists.txt").read_text(encoding="utf-8")
    options = re.search(r"target_compile_options\(nerido_options INTERFACE([^)]*)\)", text)
    extra = re.findall(r"-fno-builtin-\w+", options.group(1)) if options else []
    return NUMERICS_FLAGS + [flag for flag in dict.fromkeys(extra) if flag not in NUMERICS_FLAGS]


def library_sources(root: Path) -> list:
    """Every .cpp of the library folders, in a fixed order."""
    sources = []
    for folder in LIBRARY_FOLDERS:
        sources += sorted(str(path) for path in (root / "src" / folder).glob("*.cpp"))
    return sources


def library_headers(root: Path) -> list:
    """Every header the extension may include, and the file the version comes
    from: a change to one rebuilds the extension."""
    headers = sorted(str(path) for path in (root / "src").rglob("*.hpp"))
    return [str(root / "CMakeLists.txt")] + headers


def eigen_include_dirs() -> list:
    """Eigen's header folder (Debian libeigen3-dev), from pkg-config when it answers."""
    try:
        flags = subprocess.run(
            ["pkg-config", "--cflags-only-I", "eigen3"], capture_output=True, text=True, check=True
        ).stdout.split()
        return [flag[2:] for flag in flags if flag.startswith("-I")]
    except (OSError, subprocess.CalledProcessError):
        return [path for path in ("/usr/include/eigen3",) if Path(path).is_dir()]


ROOT = repository_root()
VERSION = project_version(ROOT)
HAVE_RETRIEVAL = any((ROOT / "src/retrieval").glob("*.cpp"))

# At most two compilers at once (NERIDO_BUILD_JOBS overrides).
ParallelCompile("NERIDO_BUILD_JOBS", default=2).install()


class BuildWithLibrary(build_ext):
    """Adds the library's sources when the extension is built: setup() takes
    only paths relative to python/, and ../src may lie elsewhere."""

    def build_extensions(self):
        for ext in self.extensions:
            ext.sources += [source for source in library_sources(ROOT) if source not in ext.sources]
            ext.depends += [header for header in library_headers(ROOT) if header not in ext.depends]
        super().build_extensions()


extension = Pybind11Extension(
    "nerido._core",
    sources=["src/core.cpp"],
    include_dirs=[str(ROOT / "src")] + (eigen_include_dirs() if HAVE_RETRIEVAL else []),
    define_macros=[
        ("NERIDO_VERSION_MAJOR", str(VERSION[0])),
        ("NERIDO_VERSION_MINOR", str(VERSION[1])),
        ("NERIDO_VERSION_PATCH", str(VERSION[2])),
        ("NERIDO_HAVE_RETRIEVAL", "1" if HAVE_RETRIEVAL else "0"),
    ],
    extra_compile_args=numerics_flags(ROOT),
    cxx_std=20,
)

setup(
    version=".".join(str(part) for part in VERSION),
    ext_modules=[extension],
    cmdclass={"build_ext": BuildWithLibrary},
)
