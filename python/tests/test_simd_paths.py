"""The compiled loop on each path NERIDO_SIMD can force: the same bits as the
scalar path, for valid scenes at random salinities, the pinned scenes (at
the default salinity and at others) and invalid ones (six NaNs),
on one thread and on three; an unknown path is a ValueError."""

import os
import subprocess
import sys

import pytest

# Prints the SHA-256 of every result's bytes, or the error's type and text.
SCRIPT = """
import hashlib
import numpy as np
import nerido
from nerido import _core
from conftest import read_scene_table

try:
    path = _core.simd_path()
except ValueError as error:
    print("ValueError", error)
    raise SystemExit
rng = np.random.default_rng(19)
ranges = [(-2, 45), (0, 16000), (-70, 45), (0, 150), (0, 150)]
fields = [rng.uniform(low, high, 30_001).astype(np.float32) for low, high in ranges]
fields[4][::7] = 0  # no rain
fields[0][5::97] = np.nan  # invalid scenes among valid ones
fields[1][9::89] = -1.0
fields[4][3::83] = -2.0
# The salinity: uniform over 0-40, with the fresh-water limit's neighbours,
# 0, 36 and 40 among them, and some out of range.
salinity = rng.uniform(0, 40, 30_001).astype(np.float32)
special = np.array([0, 0.05, np.nextafter(np.float32(0.1), np.float32(0)), 0.1, 36, 40],
                   dtype=np.float32)
salinity[::4] = np.resize(special, salinity[::4].size)
salinity[11::101] = 40.5
digest = hashlib.sha256()
for threads in (1, 3):
    digest.update(nerido.brightness_temperatures(*fields, errors="nan", threads=threads).tobytes())
    digest.update(nerido.brightness_temperatures(*fields, salinity_psu=salinity, errors="nan",
                                                 threads=threads).tobytes())
inputs, _ = read_scene_table()
digest.update(nerido.brightness_temperatures(*inputs.T).tobytes())
inputs, _ = read_scene_table("salinity_scenes.txt", "W")
digest.update(nerido.brightness_temperatures(*inputs.T[:5], salinity_psu=inputs.T[5]).tobytes())
print(path, digest.hexdigest())
"""


def run_on(path):
    env = dict(os.environ, NERIDO_SIMD=path)
    done = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True,
                          env=env, cwd=os.path.dirname(__file__), check=True)
    return done.stdout.split(maxsplit=1)


@pytest.fixture(scope="module")
def scalar_digest():
    path, digest = run_on("scalar")
    assert path == "scalar"
    return digest


@pytest.mark.parametrize("path", ["avx2", "avx512"])
def test_each_path_gives_the_scalar_bits(path, scalar_digest):
    got, text = run_on(path)
    if got == "ValueError":
        assert "not supported by this processor" in text
        pytest.skip(f"{path}: {text.strip()}")
    if got == "scalar":
        pytest.skip("the module was built without the vector path (SLEEF)")
    assert (got, text) == (path, scalar_digest)


def test_an_unknown_path_is_refused():
    got, text = run_on("sse9")
    if got == "scalar":
        pytest.skip("the module was built without the vector path (SLEEF)")
    assert got == "ValueError"
    assert "NERIDO_SIMD = 'sse9'" in text and "scalar" in text
