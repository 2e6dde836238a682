"""nerido.xarray: flight data sets in, data sets with CF attributes out, bit
for bit the numpy functions on the values in nerido's units."""

import numpy as np
import pytest

import nerido

xr = pytest.importorskip("xarray")
if not nerido._core.has_units:
    pytest.skip("built without the flight-file library (UDUNITS-2)", allow_module_level=True)
import nerido.xarray as nx  # noqa: E402

# The file's channel order and frequencies (MHz): nerido's, shuffled.
ORDER = [5, 0, 4, 1, 3, 2]
TB_K = np.array(
    [
        [118.98, 120.67, 121.45, 122.82, 124.98, 126.35],
        [125.5, 127.25, 128.0, 129.5, 131.75, 133.0],
        [140.0, 143.5, 145.0, 147.75, 151.5, 153.25],
        [115.0, 116.0, 116.5, 117.25, 118.25, 118.75],
    ]
)
SST_K = np.array([301.15, 300.15, 299.65, 302.15])
ALT_FT = np.array([9842.5, 10000.0, 3280.84, 500.0])
AIR_C = np.array([15.0, 14.5, 20.0, 25.0])


def flight(chunks=None):
    """A flight as users have it: SST in kelvin, altitude in feet, the Tb in
    one (time, channel) variable with MHz frequencies in another order."""
    ds = xr.Dataset(
        {
            "SST": ("time", SST_K, {"units": "K", "standard_name": "sea_surface_temperature"}),
            "RADALT": ("time", ALT_FT, {"units": "ft"}),
            "air_c": ("time", AIR_C, {"units": "degC"}),
            "TB": (("time", "freq"), TB_K[:, ORDER].astype(np.float32), {"units": "K"}),
        },
        coords={
            "time": np.arange(4.0),
            "freq": ("freq", np.array(nerido.channels_ghz, dtype=np.float64)[ORDER] * 1000.0,
                     {"units": "MHz"}),
            "lat": ("time", np.linspace(10.0, 11.0, 4), {"units": "degrees_north"}),
        },
        attrs={"title": "test flight", "history": "made by the test"},
    )
    return ds.chunk({"time": chunks}) if chunks else ds


def in_nerido_units():
    """The same values as nerido takes them: converted in double, rounded once."""
    return (
        (SST_K - 273.15).astype(np.float32),
        (ALT_FT * 0.3048).astype(np.float32),
        AIR_C.astype(np.float32),
    )


def test_retrieve_is_the_numpy_retrieval_of_the_converted_values():
    result = nx.retrieve(flight(), altitude_m="RADALT", tb="TB", noise_k=0.5)
    sst, alt, air = in_nerido_units()
    expected = nerido.retrieve(TB_K.astype(np.float32), sst, alt, air, noise_k=0.5)
    for name, values in zip([name for name, _ in nerido._core.outputs], expected):
        np.testing.assert_array_equal(result[name].values, values, err_msg=name)
    # The input is kept, coordinates and attributes included.
    assert result["lat"].attrs["units"] == "degrees_north"
    assert result.attrs["title"] == "test flight"
    assert result.attrs["history"].startswith("made by the test\n")
    assert result.attrs["Conventions"] == "CF-1.8"
    assert result["ret_wind_ms"].attrs["standard_name"] == "wind_speed"
    assert result["ret_wind_ms"].attrs["ancillary_variables"] == "ret_wind_sigma_ms"
    assert result["ret_status"].attrs["flag_meanings"].split() == [
        s.name for s in nerido.RetrievalStatus
    ]


def test_salinity_and_attitude_by_standard_name_or_default():
    ds = flight()
    sst, alt, air = in_nerido_units()
    tb = TB_K.astype(np.float32)
    salinity = np.array([36.0, 30.0, 20.0, 0.05])
    ds["SSS"] = ("time", salinity, {"units": "PSU", "standard_name": "sea_water_salinity"})
    ds["ROLL"] = ("time", np.array([0.0, 2.0, -3.0, 1.0]), {"units": "degree",
                                                           "standard_name": "platform_roll"})
    result = nx.retrieve(ds, altitude_m="RADALT", tb="TB")
    expected = nerido.retrieve(tb, sst, alt, air, salinity_psu=salinity.astype(np.float32),
                               roll_deg=ds["ROLL"].values.astype(np.float32))
    without = nx.retrieve(flight(), altitude_m="RADALT", tb="TB")
    at_36 = nerido.retrieve(tb, sst, alt, air)
    for name, values, values_36 in zip([name for name, _ in nerido._core.outputs], expected, at_36):
        np.testing.assert_array_equal(result[name].values, values, err_msg=name)
        np.testing.assert_array_equal(without[name].values, values_36, err_msg=name)
    tb_out = nx.forward(ds.assign(wind_ms=("time", np.full(4, 10.0), {"units": "m s-1"}),
                                  rain_mmh=("time", np.zeros(4), {"units": "mm h-1"})),
                        altitude_m="RADALT")
    np.testing.assert_array_equal(
        tb_out.values,
        nerido.brightness_temperatures(sst, alt, air, 10, 0, salinity_psu=salinity.astype(np.float32)),
    )


def test_dask_input_gives_a_lazy_result_equal_to_the_eager_one():
    eager = nx.retrieve(flight(), altitude_m="RADALT", tb="TB")
    lazy = nx.retrieve(flight(chunks=2), altitude_m="RADALT", tb="TB")
    assert lazy["ret_wind_ms"].chunks is not None
    xr.testing.assert_identical(lazy.compute()[["ret_wind_ms", "ret_status"]],
                                eager[["ret_wind_ms", "ret_status"]])


def test_six_separate_variables_and_constants():
    ds = flight()
    names = []
    for c in range(6):
        name = f"T{c}"
        ds[name] = ("time", TB_K[:, c], {"units": "K"})
        names.append(name)
    separate = nx.retrieve(ds, altitude_m="RADALT", tb_names=names)
    together = nx.retrieve(ds, altitude_m="RADALT", tb="TB")
    np.testing.assert_array_equal(separate["ret_wind_ms"], together["ret_wind_ms"])
    constant = nx.retrieve(ds, altitude_m=3000.0, tb="TB")
    sst, _, air = in_nerido_units()
    expected = nerido.retrieve(TB_K.astype(np.float32), sst, 3000.0, air)
    np.testing.assert_array_equal(constant["ret_rain_mmh"], expected.rain_mmh)


def test_forward_has_nerido_channels_and_cf_attributes():
    ds = flight()
    ds["wind"] = ("time", np.array([20.0, 10.0, 5.0, 0.0]), {"units": "knots"})
    tb = nx.forward(ds, altitude_m="RADALT", wind_ms="wind", rain_mmh=0.0)
    sst, alt, air = in_nerido_units()
    wind = (np.array([20.0, 10.0, 5.0, 0.0]) * 1852.0 / 3600.0).astype(np.float32)
    np.testing.assert_array_equal(tb.values, nerido.brightness_temperatures(sst, alt, air, wind, 0))
    assert tb.dims == ("time", "channel")
    np.testing.assert_array_equal(tb["channel"].values, nerido.channels_ghz)
    assert tb.attrs["standard_name"] == "brightness_temperature"


@pytest.mark.parametrize(
    "change, kwargs, error, words",
    [
        (None, {"tb": "TB"}, KeyError, "no variable for altitude_m"),
        (None, {"altitude_m": "ALT", "tb": "TB"}, KeyError, "no variable 'ALT'"),
        ({"RADALT": "degC"}, {"altitude_m": "RADALT", "tb": "TB"}, ValueError,
         "'RADALT': unit 'degC' does not convert to 'm'"),
        ({"freq": "bananas"}, {"altitude_m": "RADALT", "tb": "TB"}, ValueError, "bananas"),
    ],
)
def test_refusals_name_the_variable(change, kwargs, error, words):
    ds = flight()
    for name, units in (change or {}).items():
        ds[name].attrs["units"] = units
    with pytest.raises(error, match=words):
        nx.retrieve(ds, **kwargs)


def test_channels_that_do_not_match_are_named():
    ds = flight().assign_coords(freq=("freq", np.arange(6) * 1000.0 + 10000.0, {"units": "MHz"}))
    with pytest.raises(ValueError, match="are not nerido's six"):
        nx.retrieve(ds, altitude_m="RADALT", tb="TB")
