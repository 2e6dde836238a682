"""Builds nerido._core from the library's own sources with its numerics flags.

The package lives in python/ of the repository and compiles ../src. pip
builds a local directory in place, so the sources are found next to this
file; a build from a copied tree (an sdist, or a pip that copies) finds them
through NERIDO_SOURCE_DIR, the repository's root.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = Path(__file__).resolve().parent

# The library folders compiled into the extension; src/retrieval joins them
# where the retrieval can be built (HAVE_RETRIEVAL below).
MODEL_FOLDERS = ("emissivity", "radiance", "nerido")
RETRIEVAL_FOLDER = "retrieval"

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


def library_sources(root: Path, with_retrieval: bool) -> list:
    """Every .cpp of the library folders, in a fixed order."""
    sources = []
    for folder in MODEL_FOLDERS + ((RETRIEVAL_FOLDER,) if with_retrieval else ()):
        sources += sorted(str(path) for path in (root / "src" / folder).glob("*.cpp"))
    return sources


def eigen_include_dirs() -> list:
    """Eigen's header folder (Debian libeigen3-dev), from pkg-config when it
    answers; empty when Eigen is not installed."""
    try:
        flags = subprocess.run(
            ["pkg-config", "--cflags-only-I", "eigen3"], capture_output=True, text=True, check=True
        ).stdout.split()
        folders = [flag[2:] for flag in flags if flag.startswith("-I")]
    except (OSError, subprocess.CalledProcessError):
        folders = ["/usr/include/eigen3"]
    return [folder for folder in folders if (Path(folder) / "Eigen/Core").is_file()]


ROOT = repository_root()
VERSION = project_version(ROOT)
# The retrieval needs Eigen to build; like the CMake build, the package is
# built without it (nerido.retrieve then says so) where Eigen is missing.
EIGEN = eigen_include_dirs()
HAVE_RETRIEVAL = bool(EIGEN) and any((ROOT / "src" / RETRIEVAL_FOLDER).glob("*.cpp"))
if not HAVE_RETRIEVAL:
    print("nerido: building without the retrieval (no src/retrieval, or Eigen not found: "
          "Debian package libeigen3-dev)", file=sys.stderr)

# At most two compilers at once (NERIDO_BUILD_JOBS overrides).
ParallelCompile("NERIDO_BUILD_JOBS", default=2).install()


class BuildWithLibrary(build_ext):
    """Adds the library's sources when the extension is built (setup() takes
    only paths relative to python/, and ../src may lie elsewhere), and always
    compiles everything: an object left in python/build from other headers,
    flags or version must never reach a wheel."""

    def finalize_options(self):
        super().finalize_options()
        self.force = True

    def build_extensions(self):
        library = library_sources(ROOT, HAVE_RETRIEVAL)
        for ext in self.extensions:
            ext.sources += [source for source in library if source not in ext.sources]
        super().build_extensions()


extension = Pybind11Extension(
    "nerido._core",
    sources=["src/core.cpp"],
    include_dirs=[str(ROOT / "src")] + (EIGEN if HAVE_RETRIEVAL else []),
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
