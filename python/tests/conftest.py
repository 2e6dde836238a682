"""Shared by the Python tests: the repository's files they read."""

from pathlib import Path

import numpy as np
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]


def read_scene_table(name="scenes.txt", kind="S"):
    """tests/data/scenes.txt, written by the C++ API: (inputs n x 5, Tb n x 6),
    float32, every value from its hex-float text; or another table of
    `kind` lines (salinity_scenes.txt: inputs n x 6, the salinity last)."""
    inputs, outputs = [], []
    for line in (REPOSITORY / "tests/data" / name).read_text().splitlines():
        if not line.startswith(kind + " "):
            continue
        left, right = line[2:].split(":")
        inputs.append([float.fromhex(word) for word in left.split()])
        outputs.append([float.fromhex(word) for word in right.split()])
    return np.array(inputs, dtype=np.float32), np.array(outputs, dtype=np.float32)


@pytest.fixture(scope="session")
def scene_table():
    return read_scene_table()


@pytest.fixture(scope="session")
def salinity_table():
    return read_scene_table("salinity_scenes.txt", "W")
