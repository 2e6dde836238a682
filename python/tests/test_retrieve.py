"""nerido.retrieve: round trips through the forward model, the statuses,
broadcasting, refusals and threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import nerido

Status = nerido.RetrievalStatus
GEOMETRY = dict(sst_c=28.0, altitude_m=3000.0, air_c=15.0)


pytestmark = pytest.mark.skipif(not nerido._core.has_retrieval, reason="built without the retrieval")


def forward(wind_ms, rain_mmh, **geometry):
    return nerido.brightness_temperatures(**{**GEOMETRY, **geometry}, wind_ms=wind_ms, rain_mmh=rain_mmh)


def test_status_names_match_the_library():
    assert [status.name for status in Status] == nerido._core.retrieval_status_names
    assert [int(status) for status in Status] == list(range(len(Status)))


@pytest.mark.parametrize(
    "wind_ms, rain_mmh, geometry",
    [
        (10.0, 5.0, {}),
        (35.0, 20.0, {}),
        (5.0, 1.0, dict(sst_c=5.0, altitude_m=500.0, air_c=0.0)),
        (60.0, 40.0, dict(sst_c=30.0, altitude_m=12000.0, air_c=-40.0)),
    ],
)
def test_noiseless_round_trip(wind_ms, rain_mmh, geometry):
    result = nerido.retrieve(forward(wind_ms, rain_mmh, **geometry), **{**GEOMETRY, **geometry})
    assert result.status == Status.ok
    assert result.wind_ms == pytest.approx(wind_ms, abs=0.05)
    assert result.rain_mmh == pytest.approx(rain_mmh, abs=0.05)
    assert result.residual_rms_k < 0.05
    assert result.wind_sigma_ms > 0 and result.rain_sigma_mmh > 0
    assert -1 <= result.wind_rain_correlation <= 1


@pytest.mark.parametrize("salinity_psu", [0.0, 20.0, 30.0, 40.0])
def test_salinity_is_the_observations(salinity_psu):
    tb = forward(10.0, 5.0, salinity_psu=salinity_psu)
    result = nerido.retrieve(tb, **GEOMETRY, salinity_psu=salinity_psu)
    assert result.status == Status.ok
    assert result.wind_ms == pytest.approx(10.0, abs=1e-3)
    assert result.rain_mmh == pytest.approx(5.0, abs=1e-3)
    # At the ocean's 36 the same Tb fit worse: the plume reads as wind and rain.
    assert nerido.retrieve(tb, **GEOMETRY).residual_rms_k > 10 * result.residual_rms_k + 0.01


@pytest.mark.parametrize("degrees", [-0.5, 90.5, np.nan, [5.0, 6.0]])
def test_max_off_nadir_outside_0_to_90_is_refused(degrees):
    with pytest.raises(ValueError, match="max_off_nadir_deg must be one number from 0 to 90"):
        nerido.retrieve(forward(10.0, 5.0), **GEOMETRY, max_off_nadir_deg=degrees)


# Retrieval.PinnedResults of the library's tests (tests/retrieval_test.cpp):
# truth (sst_c, altitude_m, air_c, wind_ms, rain_mmh), K added to each
# channel, a missing channel, then the exact results and the status.
PINNED = [
    ((28, 3000, 7.5, 15, 5), (0.31, -0.42, 0.12, 0.55, -0.08, 0.27), None,
     "0x1.e126e2p+3 0x1.47d762p+2 0x1.ba2db2p-1 0x1.79b00ep-1 -0x1.e4f426p-1 0x1.3a7b52p-2", Status.ok),
    ((15, 12000, -64, 40, 70), (-0.6, 0.2, 0.05, -0.33, 0.48, 0.1), None,
     "0x1.3c7dbep+5 0x1.1c6eecp+6 0x1.c75892p-2 0x1.1973fep+0 -0x1.dca91ap-1 0x1.25eddp-2", Status.ok),
    ((5, 500, 1, 8, 0), (0.1, -0.2, 0.3, -0.4, 0.5, -0.6), None,
     "0x1.f7426p+2 0x0p+0 0x1.14267ap+1 0x1.bcb7e4p+1 -0x1.f18066p-1 0x1.8ac832p-2", Status.ok),
    ((22, 1500, 10, 2, 1), (0.44, 0.21, -0.35, 0.12, -0.5, 0.03), 3,
     "0x1.852442p+1 0x0p+0 0x1.0f367ap+1 0x1.387474p+1 -0x1.eaee2p-1 0x1.31f1fcp-2", Status.ok),
    ((30, 6000, -10, 65, 25), (-0.2, -0.1, 0, 0.1, 0.2, 0.3), 0,
     "0x1.02bc76p+6 0x1.9e55b6p+4 0x1.4255eep-1 0x1.6ef69p+0 -0x1.f28c54p-1 0x1.7096e2p-6", Status.ok),
]


def test_pinned_retrievals_bit_for_bit():
    truth = np.array([case[0] for case in PINNED], dtype=np.float32)
    tb = nerido.brightness_temperatures(*truth.T) + np.array([case[1] for case in PINNED], np.float32)
    for row, case in enumerate(PINNED):
        if case[2] is not None:
            tb[row, case[2]] = np.nan
    result = nerido.retrieve(tb, *truth.T[:3])
    for row, (_, _, _, expected, status) in enumerate(PINNED):
        values = [float.fromhex(word) for word in expected.split()]
        assert [float(field[row]) for field in result[:-1]] == values, f"case {row}"
        assert result.status[row] == status


@pytest.mark.parametrize(
    "change, missing, infinite",
    [
        (dict(sst_c=46.0), [], []),
        (dict(sst_c=np.nan), [], []),
        (dict(altitude_m=0.0), [], []),
        (dict(altitude_m=np.inf), [], []),
        (dict(air_c=-71.0), [], []),
        ({}, [0, 1, 2, 3], []),  # two channels left
        ({}, [0, 1, 2, 3, 4, 5], []),
        ({}, [], [5]),  # an infinity is not a measurement
    ],
)
def test_invalid_input_is_a_status_with_errors_nan(change, missing, infinite):
    tb = forward(10.0, 5.0)
    tb[missing] = np.nan
    tb[infinite] = np.inf
    result = nerido.retrieve(tb, **{**GEOMETRY, **change}, errors="nan")
    assert result.status == Status.invalid_input
    assert all(np.isnan(field) for field in result[:-1])


@pytest.mark.parametrize(
    "change, message",
    [
        # Regression: an SST left in kelvin made every element invalid_input silently.
        (dict(sst_c=[28.0, 301.15, 28.0]),
         r"sst_c = 301\.15 is outside -2 to 45 deg C \(first bad element at index \(1,\)"),
        (dict(altitude_m=[3000, 3000, np.nan]), r"altitude_m = nan is outside .*index \(2,\)"),
        (dict(air_c=np.ma.masked_array([15, 15, 15], mask=[0, 1, 0])), r"air_c = nan .*index \(1,\)"),
        (dict(sst_c=np.inf), r"sst_c = inf is outside"),
        (dict(salinity_psu=[36.0, 36.0, 41.0]),
         r"salinity_psu = 41 is outside 0 to 40 psu \(first bad element at index \(2,\)"),
    ],
)
def test_an_input_out_of_range_raises_by_default(change, message):
    tb = np.stack([forward(10.0, 5.0)] * 3)
    with pytest.raises(ValueError, match=message):
        nerido.retrieve(tb, **{**GEOMETRY, **change})
    # Channels are measurements: too few or an infinite one stay a status.
    tb[1, :4] = np.nan
    tb[2, 0] = np.inf
    statuses = nerido.retrieve(tb, **GEOMETRY).status
    assert [Status(s) for s in statuses] == [Status.ok, Status.invalid_input, Status.invalid_input]


def test_three_channels_are_enough():
    tb = forward(20.0, 10.0)
    tb[[0, 2, 4]] = np.nan
    result = nerido.retrieve(tb, **GEOMETRY)
    assert result.status == Status.ok
    assert result.wind_ms == pytest.approx(20.0, abs=0.1)


def test_calm_dry_sea_is_an_answer():
    result = nerido.retrieve(forward(0.0, 0.0), **GEOMETRY)
    assert result.status == Status.ok
    assert result.wind_ms == 0 and result.rain_mmh == 0


def test_temperatures_no_wind_and_rain_explain_fit_poorly():
    tb = forward(10.0, 5.0)
    tb[::2] += 30.0  # a channel pattern the model cannot make
    assert nerido.retrieve(tb, **GEOMETRY).status == Status.poor_fit


def test_one_status_per_element_in_a_mixed_batch():
    tb = np.stack([forward(10.0, 5.0), forward(10.0, 5.0), forward(0.0, 0.0)])
    result = nerido.retrieve(tb, [28.0, 50.0, 28.0], 3000, 15, errors="nan")
    assert result.status.dtype == np.int8
    assert [Status(s) for s in result.status] == [Status.ok, Status.invalid_input, Status.ok]


def test_broadcasting_against_the_first_channel():
    rng = np.random.default_rng(5)
    wind = rng.uniform(2, 40, (2, 3))
    rain = rng.uniform(0.5, 30, (2, 3))
    sst = np.array([20.0, 25.0, 28.0])
    tb = nerido.brightness_temperatures(sst, 3000, 15, wind, rain)
    result = nerido.retrieve(tb, sst, 3000, [[15.0], [15.0]])
    assert result._fields == (
        "wind_ms", "rain_mmh", "wind_sigma_ms", "rain_sigma_mmh", "wind_rain_correlation",
        "residual_rms_k", "status")
    for field in result:
        assert field.shape == (2, 3)
    for index in np.ndindex(2, 3):
        one = nerido.retrieve(tb[index], sst[index[1]], 3000, 15)
        for batch_value, one_value in zip(result, one):
            assert batch_value[index].tobytes() == np.asarray(one_value).tobytes()


def test_noise_per_channel():
    tb = forward(15.0, 8.0) + np.float32(0.3)
    same = nerido.retrieve(tb, **GEOMETRY, noise_k=[0.5] * 6)
    default = nerido.retrieve(tb, **GEOMETRY)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(same, default))
    noisier = nerido.retrieve(tb, **GEOMETRY, noise_k=2.0)
    assert noisier.wind_sigma_ms > default.wind_sigma_ms


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (dict(tb_k=np.zeros(5)), ValueError, r"tb_k must have shape \(\.\.\., 6\)"),
        (dict(tb_k=280.0), ValueError, r"tb_k must have shape"),
        (dict(noise_k=0.0), ValueError, "noise_k must be from 0.01 to 100 K"),
        (dict(noise_k=np.nan), ValueError, "noise_k must be from 0.01 to 100 K"),
        (dict(noise_k=1e-5), ValueError, "noise_k must be from 0.01 to 100 K"),
        (dict(noise_k=[0.5] * 5 + [101]), ValueError, "noise_k must be from 0.01 to 100 K"),
        (dict(model_error_k=-0.5), ValueError, "model_error_k must be from 0 to 100 K"),
        (dict(model_error_k=[0.5, 0.5]), ValueError, "model_error_k must be one number"),
        (dict(errors="ignore"), ValueError, "errors must be one of"),
        (dict(noise_k=[0.5, 0.5]), ValueError, "noise_k must be one number or 6"),
        (dict(sst_c=[28.0, 29.0]), ValueError, r"do not broadcast.*sst_c \(2,\)"),
        (dict(tb_k=["280"] * 6), TypeError, "tb_k must hold real numbers"),
        (dict(air_c=None), TypeError, "air_c must hold real numbers"),
    ],
)
def test_refused_arguments(arguments, error, message):
    tb = np.stack([forward(10.0, 5.0)] * 3)
    with pytest.raises(error, match=message):
        nerido.retrieve(**{"tb_k": tb, **GEOMETRY, **arguments})


def test_thread_pool_equals_serial():
    rng = np.random.default_rng(11)
    n = 600
    sst = rng.uniform(0, 32, n)
    tb = nerido.brightness_temperatures(sst, 3000, 15, rng.uniform(0, 60, n), rng.uniform(0, 40, n))
    tb = tb + rng.normal(0, 0.5, tb.shape)
    serial = nerido.retrieve(tb, sst, 3000, 15)
    chunks = [slice(start, start + 50) for start in range(0, n, 50)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parts = list(pool.map(lambda s: nerido.retrieve(tb[s], sst[s], 3000, 15), chunks))
    for k, field in enumerate(serial):
        assert np.concatenate([part[k] for part in parts]).tobytes() == field.tobytes()


@pytest.mark.parametrize("threads", [1, 2, 3, 0, None])
def test_own_threads_equal_one_thread(threads):
    # Invalid elements (an SST out of range, too few channels) in several
    # blocks, tb_k broadcast against a column of SSTs.
    rng = np.random.default_rng(5)
    sst = rng.uniform(0, 32, (7, 1))
    tb = nerido.brightness_temperatures(sst, 3000, 15, rng.uniform(0, 60, (7, 9)), rng.uniform(0, 40, 9))
    tb = tb + rng.normal(0, 0.5, tb.shape)
    tb[2, :, :4] = np.nan
    sst[5, 0] = 60.0
    serial = nerido.retrieve(tb, sst, 3000, 15, errors="nan", threads=1)
    result = nerido.retrieve(tb, sst, 3000, 15, errors="nan", threads=threads)
    assert (serial.status[[2, 5]] == nerido.RetrievalStatus.invalid_input).all()
    for got, expected in zip(result, serial):
        assert got.shape == (7, 9)
        assert got.tobytes() == expected.tobytes()


def test_refused_thread_count():
    tb = np.stack([forward(10.0, 5.0)] * 3)
    with pytest.raises(ValueError, match="threads must be 0 or more"):
        nerido.retrieve(tb, **GEOMETRY, threads=-2)


def test_masked_channels_are_missing_and_masked_inputs_masked():
    """Regression: a masked Tb was used as a present channel."""
    tb = nerido.brightness_temperatures(28, 3000, 15, 10, 5)
    rows = np.ma.masked_array(np.stack([tb, tb, tb]), mask=False)
    rows[0, 2] = 999.0
    rows[0, 2] = np.ma.masked  # a missing channel
    rows[2, :] = np.ma.masked  # no channel at all
    sst = np.ma.masked_array([28.0, 28.0, 28.0], mask=[False, True, False])
    got = nerido.retrieve(rows, sst, 3000, 15, errors="nan")
    missing_channel = tb.copy()
    missing_channel[2] = np.nan
    expected = nerido.retrieve(missing_channel, 28, 3000, 15)
    assert got.wind_ms[0] == expected.wind_ms and got.status[0] == expected.status
    np.testing.assert_array_equal(np.ma.getmaskarray(got.wind_ms), [False, True, True])
    assert got.status.data[1] == nerido.RetrievalStatus.invalid_input


def test_ctrl_c_interrupts_a_long_call():
    """Regression: a long call raised KeyboardInterrupt only when it finished."""
    child = r"""
import os, signal, threading, time
import numpy as np, nerido
tb = np.broadcast_to(nerido.brightness_temperatures(28, 3000, 15, 10, 5), (2_000_000, 6))
threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    nerido.retrieve(tb, 28, 3000, 15)
    print("finished")
except KeyboardInterrupt:
    print(f"interrupted {time.monotonic() - start:.2f}")
"""
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True,
                         timeout=120, check=True)
    # Two million retrievals take about ten seconds; the interrupt comes after
    # 0.3 s and must end the call long before that.
    words = run.stdout.split()
    assert words[0] == "interrupted", run.stdout
    assert float(words[1]) < 5.0


def test_model_error_widens_the_sigmas_and_zero_changes_nothing():
    tb = forward(15.0, 5.0)
    plain = nerido.retrieve(tb, **GEOMETRY)
    zero = nerido.retrieve(tb, **GEOMETRY, model_error_k=0.0)
    wider = nerido.retrieve(tb, **GEOMETRY, model_error_k=0.5)
    assert [f.tobytes() for f in zero] == [f.tobytes() for f in plain]
    assert wider.wind_sigma_ms > 1.2 * plain.wind_sigma_ms
    assert wider.wind_ms == pytest.approx(15.0, abs=0.01)


@pytest.mark.parametrize(
    "limit, expected",
    [
        (5.0, [Status.ok, Status.ok, Status.off_nadir, Status.off_nadir]),
        (45.0, [Status.ok, Status.ok, Status.ok, Status.ok]),
        (0.0, [Status.ok, Status.off_nadir, Status.off_nadir, Status.off_nadir]),
    ],
)
def test_records_off_nadir_are_not_fitted(limit, expected):
    tb = np.stack([forward(15.0, 5.0)] * 4)
    result = nerido.retrieve(tb, **GEOMETRY, roll_deg=[0, 4, 30, 0], pitch_deg=[0, 3, 0, -6],
                             max_off_nadir_deg=limit)
    assert [Status(s) for s in result.status] == expected
    off = result.status == Status.off_nadir
    assert np.isnan(result.wind_ms[off]).all()
    assert (result.wind_ms[~off] == result.wind_ms[0]).all()


def test_a_nan_attitude_raises_or_is_invalid():
    tb = np.stack([forward(15.0, 5.0)] * 2)
    with pytest.raises(ValueError, match=r"roll_deg = nan .*index \(1,\)"):
        nerido.retrieve(tb, **GEOMETRY, roll_deg=[0.0, np.nan])
    result = nerido.retrieve(tb, **GEOMETRY, roll_deg=[0.0, np.nan], errors="nan")
    assert [Status(s) for s in result.status] == [Status.ok, Status.invalid_input]
