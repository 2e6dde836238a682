"""examples/storm_field.py at a small size: the Dask fields against a direct
computation, and the whole program."""

import importlib.util
import subprocess
import sys

import numpy as np
import pytest

import nerido
from conftest import REPOSITORY

EXAMPLE = REPOSITORY / "examples/storm_field.py"
sys.path.insert(0, str(EXAMPLE.parent))
storm_field = pytest.importorskip("storm_field")
HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


def run_example(*arguments):
    return subprocess.run([sys.executable, str(EXAMPLE), *arguments], capture_output=True,
                          text=True, timeout=300)


def test_storm_is_a_vortex_with_an_eyewall():
    ds = storm_field.storm(81, 20).compute()
    centre = ds.isel(x=40, y=40)
    radius = np.hypot(*np.meshgrid(ds.x, ds.y))
    ring = np.abs(radius - storm_field.MAX_WIND_RADIUS_KM) < 5
    assert float(ds.wind_ms.max()) == pytest.approx(storm_field.MAX_WIND_MS, rel=0.02)
    assert float(centre.wind_ms) < 10 and float(centre.rain_mmh) < 10
    assert float(ds.rain_mmh.where(ring).mean()) > 3 * float(ds.rain_mmh.where(radius > 150).mean())
    for name in ("sst_c", "wind_ms", "rain_mmh"):
        assert ds[name].dtype == np.float32


def test_dask_fields_equal_one_direct_call():
    from dask.distributed import Client, LocalCluster

    ds = storm_field.storm(50, 16)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                      dashboard_address=":0") as cluster, Client(cluster):
        tb = storm_field.brightness_fields(ds).compute()
    truth = ds.compute()
    direct = nerido.brightness_temperatures(truth.sst_c.values, storm_field.ALTITUDE_M,
                                            storm_field.AIR_C, truth.wind_ms.values,
                                            truth.rain_mmh.values)
    assert tb.dims == ("y", "x", "channel")
    np.testing.assert_array_equal(tb.channel.values, nerido.channels_ghz)
    assert tb.values.tobytes() == direct.tobytes()


def check_report(stdout, n):
    """The example's printed statistics: plausible errors, every point counted."""
    lines = stdout.splitlines()
    assert lines[0].startswith(f"{n} x {n} storm, {n * n} scenes:")
    wind = next(line for line in lines if line.strip().startswith("wind_ms"))
    assert abs(float(wind.split("bias")[1].split()[0])) < 1.0
    assert float(wind.split("rms")[1].split()[0]) < 3.0
    statuses = next(line for line in lines if line.startswith("statuses:"))
    counts = dict(item.rsplit(" ", 1) for item in statuses.removeprefix("statuses: ").split(", "))
    assert sum(int(c) for c in counts.values()) == n * n and int(counts["ok"]) > n * n // 2


@pytest.mark.skipif(not nerido._core.has_retrieval, reason="built without the retrieval")
def test_whole_example_at_small_size():
    run = run_example("-n", "40", "--workers", "2")
    assert run.returncode == 0, run.stderr
    check_report(run.stdout, 40)


@pytest.mark.skipif(not nerido._core.has_retrieval, reason="built without the retrieval")
def test_example_on_a_scheduler_it_is_given():
    # A cluster of this process, reached over TCP as a remote one would be.
    from dask.distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp://",
                      host="127.0.0.1", dashboard_address=":0") as cluster:
        run = run_example("-n", "30", "--scheduler", cluster.scheduler_address)
    assert run.returncode == 0, run.stderr
    check_report(run.stdout, 30)


@pytest.mark.skipif(HAVE_MATPLOTLIB, reason="matplotlib is installed")
def test_plot_without_matplotlib_says_so(tmp_path):
    run = run_example("-n", "20", "--plot", str(tmp_path / "storm.png"))
    assert run.returncode == 2
    assert "--plot needs matplotlib" in run.stderr
    assert not (tmp_path / "storm.png").exists()


@pytest.mark.skipif(not (HAVE_MATPLOTLIB and nerido._core.has_retrieval),
                    reason="needs matplotlib and the retrieval")
def test_plot_is_written(tmp_path):
    run = run_example("-n", "30", "--plot", str(tmp_path / "storm.png"))
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "storm.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("arguments", [["-n", "1"], ["--workers", "0"], ["--noise", "0"]])
def test_bad_arguments(arguments):
    run = run_example(*arguments)
    assert run.returncode == 2 and "usage:" in run.stderr
