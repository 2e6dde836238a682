"""nerido.brightness_temperatures against the C++ results, its broadcasting,
its refusals and its threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import nerido

WORKED = dict(sst_c=28, altitude_m=3000, air_c=15, wind_ms=10, rain_mmh=5)
FIELDS = tuple(WORKED)


def bits(array):
    return np.ascontiguousarray(array, dtype=np.float32).view(np.uint32)


def columns(inputs):
    return [inputs[:, k] for k in range(inputs.shape[1])]


# --- bit for bit with the C++ API -------------------------------------------


def test_pinned_scenes_in_one_call(scene_table):
    inputs, expected = scene_table
    assert len(inputs) == 300
    np.testing.assert_array_equal(bits(nerido.brightness_temperatures(*columns(inputs))), bits(expected))


def test_pinned_salinity_scenes_in_one_call(salinity_table):
    inputs, expected = salinity_table
    assert len(inputs) == 300
    *scene, salinity = columns(inputs)
    result = nerido.brightness_temperatures(*scene, salinity_psu=salinity)
    np.testing.assert_array_equal(bits(result), bits(expected))
    # Broadcast from one number, as the other fields are.
    at_20 = nerido.brightness_temperatures(*scene, salinity_psu=20)
    np.testing.assert_array_equal(
        bits(at_20[7]), bits(nerido.brightness_temperatures(*inputs[7, :5], salinity_psu=20))
    )


def test_default_salinity_is_the_ocean_and_matters():
    at_36 = nerido.brightness_temperatures(**WORKED, salinity_psu=36)
    np.testing.assert_array_equal(bits(nerido.brightness_temperatures(**WORKED)), bits(at_36))
    plume = nerido.brightness_temperatures(**WORKED, salinity_psu=20)
    assert np.all(plume > at_36 + 0.2)


@pytest.mark.parametrize("order", ["reversed", "shuffled", "each SST twice"])
def test_pinned_scenes_in_another_order(scene_table, order):
    # The loop reuses the emissivities of equal consecutive SSTs: no order
    # may leak one scene's emissivities into another's result.
    inputs, expected = scene_table
    index = {
        "reversed": np.arange(len(inputs))[::-1],
        "shuffled": np.random.default_rng(7).permutation(len(inputs)),
        "each SST twice": np.repeat(np.arange(len(inputs)), 2),
    }[order]
    result = nerido.brightness_temperatures(*columns(inputs[index]))
    np.testing.assert_array_equal(bits(result), bits(expected[index]))


def test_pinned_scenes_one_at_a_time_and_with_nan_mode(scene_table):
    inputs, expected = scene_table
    for row in range(0, len(inputs), 37):
        one = nerido.brightness_temperatures(*(float(v) for v in inputs[row]))
        np.testing.assert_array_equal(bits(one), bits(expected[row]))
    lenient = nerido.brightness_temperatures(*columns(inputs), errors="nan")
    np.testing.assert_array_equal(bits(lenient), bits(expected))


@pytest.mark.parametrize(
    "scene, tb",
    [
        ((28, 3000, 15, 10, 5), "118.98 120.67 121.45 122.82 124.98 126.35"),
        ((28, 3000, 15, 0, 0), "113.33 114.21 114.56 115.13 115.90 116.33"),
        ((28, 12000, -30, 15, 10), "126.20 129.42 130.99 133.89 138.70 141.86"),
    ],
)
def test_worked_rows_at_two_decimals(scene, tb):
    result = nerido.brightness_temperatures(*scene)
    assert result.dtype == np.float32 and result.shape == (6,)
    assert " ".join(f"{value:.2f}" for value in result) == tb


# --- broadcasting -------------------------------------------------------------

rng = np.random.default_rng(3)


def valid(shape, field):
    """Random valid values of a field, of a shape."""
    low, high = {"sst_c": (-2, 45), "altitude_m": (1, 16000), "air_c": (-70, 45),
                 "wind_ms": (0, 150), "rain_mmh": (0, 150)}[field]
    return rng.uniform(low, high, shape)


@pytest.mark.parametrize(
    "shapes, result_shape",
    [
        ([(), (), (), (), ()], ()),
        ([(4,), (), (), (), ()], (4,)),
        ([(), (), (), (), (5,)], (5,)),
        ([(2, 3), (3,), (), (2, 1), ()], (2, 3)),
        ([(2, 1), (1, 3), (), (), ()], (2, 3)),
        ([(3, 1, 2), (4, 1), (), (2,), (1, 1, 1)], (3, 4, 2)),
        ([(0,), (), (), (), ()], (0,)),
        ([(2, 0), (1,), (), (), ()], (2, 0)),
    ],
)
def test_broadcast_shapes_and_values(shapes, result_shape):
    arguments = [valid(shape, field) for shape, field in zip(shapes, FIELDS)]
    result = nerido.brightness_temperatures(*arguments)
    assert result.shape == result_shape + (6,) and result.dtype == np.float32
    for index in np.ndindex(*result_shape):
        scalars = [np.broadcast_to(a, result_shape)[index] for a in arguments]
        np.testing.assert_array_equal(bits(result[index]), bits(nerido.brightness_temperatures(*scalars)))


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a.tolist(),
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=1)[:, ::2],
        lambda a: a.astype(np.float64),
        lambda a: a.astype(np.float32)[::-1][::-1],
    ],
    ids=["list", "fortran", "strided", "float64", "float32 view"],
)
def test_layouts_and_types_give_the_same_bits(layout):
    arguments = [valid((3, 4), field).astype(np.float32) for field in FIELDS]
    reference = nerido.brightness_temperatures(*arguments)
    np.testing.assert_array_equal(bits(nerido.brightness_temperatures(*map(layout, arguments))), bits(reference))


def test_integer_inputs_and_inputs_left_unchanged():
    sst = np.array([20, 28], dtype=np.int16)
    wind = np.array([[0], [10], [150]], dtype=np.uint8)
    kept = sst.copy(), wind.copy()
    result = nerido.brightness_temperatures(sst, 3000, 15, wind, 5)
    np.testing.assert_array_equal(bits(result[1, 1]), bits(nerido.brightness_temperatures(**WORKED)))
    np.testing.assert_array_equal(sst, kept[0])
    np.testing.assert_array_equal(wind, kept[1])


def test_shapes_that_do_not_broadcast_name_the_fields():
    with pytest.raises(ValueError, match=r"sst_c \(2,\), .*wind_ms \(3,\)"):
        nerido.brightness_temperatures([20, 21], 3000, 15, [1, 2, 3], 5)


# --- refusals -----------------------------------------------------------------

F32_ABOVE_45 = float(np.nextafter(np.float32(45), np.float32(np.inf)))


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("sst_c", -2.5, "sst_c = -2.5 is outside -2 to 45 deg C"),
        ("sst_c", F32_ABOVE_45, "sst_c = 45.000004 is outside -2 to 45 deg C"),
        ("altitude_m", 0.0, "altitude_m = 0 is outside 0 (exclusive) to 16000 m"),
        ("altitude_m", -0.0, "altitude_m = -0 is outside 0 (exclusive) to 16000 m"),
        ("air_c", -70.5, "air_c = -70.5 is outside -70 to 45 deg C"),
        ("wind_ms", 151, "wind_ms = 151 is outside 0 to 150 m/s"),
        ("rain_mmh", -1e-3, "rain_mmh = -0.001 is outside 0 to 150 mm/h"),
        ("rain_mmh", np.nan, "rain_mmh = nan is outside 0 to 150 mm/h"),
        ("wind_ms", np.inf, "wind_ms = inf is outside 0 to 150 m/s"),
        ("air_c", -np.inf, "air_c = -inf is outside -70 to 45 deg C"),
        ("sst_c", 1e40, "sst_c = inf is outside -2 to 45 deg C"),  # beyond float32
        ("salinity_psu", 40.5, "salinity_psu = 40.5 is outside 0 to 40 psu"),
        ("salinity_psu", -0.25, "salinity_psu = -0.25 is outside 0 to 40 psu"),
        ("salinity_psu", np.nan, "salinity_psu = nan is outside 0 to 40 psu"),
    ],
)
def test_out_of_range_names_field_value_and_range(field, value, message):
    with pytest.raises(ValueError) as raised:
        nerido.brightness_temperatures(**{**WORKED, field: value})
    assert str(raised.value) == message
    lenient = nerido.brightness_temperatures(**{**WORKED, field: value}, errors="nan")
    assert np.isnan(lenient).all()


@pytest.mark.parametrize(
    "field, value",
    [("sst_c", 45.0000001), ("wind_ms", 150.000001), ("altitude_m", 16000.0004), ("air_c", -70.000001)],
)
def test_ranges_are_checked_on_the_float32_values(field, value):
    # These doubles lie outside the range but round to its end in float32.
    exact_end = {**WORKED, field: float(np.float32(value))}
    np.testing.assert_array_equal(
        bits(nerido.brightness_temperatures(**{**WORKED, field: value})),
        bits(nerido.brightness_temperatures(**exact_end)),
    )


def test_first_bad_element_in_c_order_and_first_bad_field():
    wind = np.full((3, 4), 10.0)
    sst = np.full((3, 4), 28.0)
    wind[2, 0] = 200.0
    wind[1, 2] = 151.0
    sst[1, 2] = 50.0  # the same element: sst_c comes first
    with pytest.raises(ValueError) as raised:
        nerido.brightness_temperatures(sst, 3000, 15, wind, 5)
    assert str(raised.value) == (
        "sst_c = 50 is outside -2 to 45 deg C (first bad element at index (1, 2) of broadcast shape (3, 4))"
    )


def test_nan_mode_computes_the_good_elements():
    wind = np.array([[10.0, np.nan, 200.0], [0.0, 150.0, -1.0]])
    rain = np.array([5.0, 5.0, 5.0])
    result = nerido.brightness_temperatures(28, 3000, 15, wind, rain, errors="nan")
    bad = ~((wind >= 0) & (wind <= 150))
    assert np.isnan(result[bad]).all()
    for index in zip(*np.nonzero(~bad)):
        expected = nerido.brightness_temperatures(28, 3000, 15, wind[index], 5)
        np.testing.assert_array_equal(bits(result[index]), bits(expected))


def test_unknown_error_mode():
    with pytest.raises(ValueError, match="errors must be one of"):
        nerido.brightness_temperatures(**WORKED, errors="ignore")


@pytest.mark.parametrize(
    "value",
    ["28", ["28", "29"], None, [28, None], True, np.array([1, 0], dtype=bool), 1 + 2j,
     np.datetime64("2024-01-01"), object()],
    ids=["str", "str list", "None", "None in list", "bool", "bool array", "complex", "date", "object"],
)
@pytest.mark.parametrize("field", ["sst_c", "rain_mmh"])
def test_non_numeric_input_is_a_type_error(field, value):
    with pytest.raises(TypeError, match=f"^{field} must hold real numbers"):
        nerido.brightness_temperatures(**{**WORKED, field: value})


# --- threads -----------------------------------------------------------------


def test_thread_pool_equals_serial():
    n = 20000
    arguments = [valid(n, field) for field in FIELDS]
    arguments[0] = np.round(arguments[0])  # runs of equal SST across chunk edges
    serial = nerido.brightness_temperatures(*arguments)
    chunks = [slice(start, start + 1500) for start in range(0, n, 1500)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parts = list(pool.map(lambda s: nerido.brightness_temperatures(*(a[s] for a in arguments)), chunks))
        whole = list(pool.map(lambda _: nerido.brightness_temperatures(*arguments), range(4)))
    np.testing.assert_array_equal(bits(np.concatenate(parts)), bits(serial))
    for result in whole:
        np.testing.assert_array_equal(bits(result), bits(serial))


# The loop's own threads: contiguous blocks of the broadcast elements, the
# same bits for every count. The table covers the element counts around the
# block edges (fewer elements than threads, a remainder) and bad elements in
# several blocks.
THREAD_COUNTS = [1, 2, 3, 0, None]


def scene_arguments(n):
    arguments = [valid(n, field) for field in FIELDS]
    arguments[0] = np.round(arguments[0])  # runs of equal SST across block edges
    return arguments


@pytest.mark.parametrize("threads", THREAD_COUNTS)
@pytest.mark.parametrize("n", [1, 2, 7, 1001])
def test_own_threads_equal_one_thread(threads, n):
    arguments = scene_arguments(n)
    arguments[3][::5] = np.nan  # invalid wind in every block, errors="nan"
    arguments[4][n // 2] = 151.0
    serial = nerido.brightness_temperatures(*arguments, errors="nan", threads=1)
    result = nerido.brightness_temperatures(*arguments, errors="nan", threads=threads)
    assert np.isnan(result[::5]).all()
    np.testing.assert_array_equal(bits(result), bits(serial))


# A single value is handed to the compiled loop once, not broadcast: the
# same bits as the full array, and a bad element elsewhere still reported.
@pytest.mark.parametrize("field", ["sst_c", "salinity_psu"])
@pytest.mark.parametrize("single", [np.float32(0.05), np.float32(36), np.full((1, 1), 40.0)])
def test_a_single_value_equals_its_broadcast(field, single):
    wind = valid(2001, "wind_ms")
    given = {**WORKED, "wind_ms": wind, field: single}
    full = {**given, field: np.full(wind.shape, np.float32(single).reshape(-1)[0])}
    for threads in (1, 3):
        np.testing.assert_array_equal(
            bits(nerido.brightness_temperatures(**given, threads=threads)).reshape(-1, 6),
            bits(nerido.brightness_temperatures(**full, threads=threads)),
        )
    wind[5] = 200.0
    with pytest.raises(ValueError, match=r"wind_ms = 200 .*index \((0, )?5,?\)"):
        nerido.brightness_temperatures(**given)


@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_own_threads_broadcast(threads):
    sst = valid((5, 1, 1), "sst_c")
    wind = valid((1, 4, 1), "wind_ms")
    rain = valid((3,), "rain_mmh")
    serial = nerido.brightness_temperatures(sst, 3000, 15, wind, rain)
    result = nerido.brightness_temperatures(sst, 3000, 15, wind, rain, threads=threads)
    assert result.shape == (5, 4, 3, 6)
    np.testing.assert_array_equal(bits(result), bits(serial))


@pytest.mark.parametrize("threads", [2, 3, 0])
def test_own_threads_report_the_first_bad_element(threads):
    # Bad elements in the last blocks too: the first one is named.
    wind = valid(3000, "wind_ms")
    wind[[1700, 2999]] = 200.0
    wind[1500] = -1.0
    with pytest.raises(ValueError) as serial:
        nerido.brightness_temperatures(28, 3000, 15, wind, 5)
    with pytest.raises(ValueError) as threaded:
        nerido.brightness_temperatures(28, 3000, 15, wind, 5, threads=threads)
    assert "index (1500,)" in str(serial.value)
    assert str(threaded.value) == str(serial.value)


@pytest.mark.parametrize(
    "threads, error, message",
    [
        (-1, ValueError, "threads must be 0 or more"),
        (1.5, TypeError, "threads must be an integer or None"),
        ("2", TypeError, "threads must be an integer or None"),
        (True, TypeError, "threads must be an integer or None"),
    ],
)
def test_refused_thread_counts(threads, error, message):
    with pytest.raises(error, match=message):
        nerido.brightness_temperatures(**WORKED, threads=threads)


def test_masked_elements_are_missing_values():
    """Regression: a masked 999 (netCDF4's fill) raised ValueError as a value."""
    sst = np.ma.masked_array([28.0, 999.0, 20.0], mask=[False, True, False])
    got = nerido.brightness_temperatures(sst, 3000, 15, 10, 5, errors="nan")
    assert np.ma.isMaskedArray(got)
    np.testing.assert_array_equal(np.ma.getmaskarray(got).all(axis=-1), [False, True, False])
    assert np.isnan(got.data[1]).all()
    plain = nerido.brightness_temperatures(np.array([28.0, 20.0]), 3000, 15, 10, 5)
    np.testing.assert_array_equal(got.data[[0, 2]], plain)
    with pytest.raises(ValueError, match="sst_c = nan"):
        nerido.brightness_temperatures(sst, 3000, 15, 10, 5)
    unmasked = np.ma.masked_array([28.0, 20.0])
    assert not np.ma.isMaskedArray(nerido.brightness_temperatures(unmasked, 3000, 15, 10, 5))
