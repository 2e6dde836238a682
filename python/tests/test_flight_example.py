"""examples/flight_netcdf.py at a small size: nerido-batch and nerido.xarray
agree bit for bit on a NetCDF flight (the example checks it), and the
picture is drawn."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import nerido
from conftest import REPOSITORY

EXAMPLE = REPOSITORY / "examples/flight_netcdf.py"
BATCH = Path(os.environ.get("NERIDO_BUILD_DIR", REPOSITORY / "build")) / "nerido-batch"


@pytest.mark.skipif(not nerido._core.has_units, reason="built without the flight-file library")
@pytest.mark.skipif(not BATCH.exists(), reason=f"no nerido-batch at {BATCH}")
@pytest.mark.skipif(importlib.util.find_spec("netCDF4") is None, reason="python3-netcdf4")
def test_batch_and_xarray_agree_on_a_flight(tmp_path):
    picture = tmp_path / "flight.png"
    args = [sys.executable, str(EXAMPLE), "--batch", str(BATCH), "--seconds", "90"]
    if importlib.util.find_spec("matplotlib") is not None:
        args += ["--plot", str(picture)]
    run = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "agree bit for bit" in run.stdout
    if "--plot" in args:
        assert picture.read_bytes().startswith(b"\x89PNG")
