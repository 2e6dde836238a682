"""The package as a whole: its version, channel table and what it was built with."""

import re
from importlib import metadata

import numpy as np
import pytest

import nerido
from conftest import REPOSITORY


def test_channels_and_version():
    assert nerido.channels_ghz.dtype == np.float32
    np.testing.assert_array_equal(
        nerido.channels_ghz, np.array([4.74, 5.31, 5.57, 6.02, 6.69, 7.09], dtype=np.float32)
    )
    with pytest.raises(ValueError):
        nerido.channels_ghz[0] = 5.0
    cmake = (REPOSITORY / "CMakeLists.txt").read_text()
    version = re.search(r"project\(nerido VERSION (\d+\.\d+\.\d+)", cmake).group(1)
    assert nerido.__version__ == version == metadata.version("nerido")


def test_built_with_the_retrieval_when_the_sources_have_it():
    assert nerido._core.has_retrieval == any((REPOSITORY / "src/retrieval").glob("*.cpp"))
