"""nerido over xarray: flight data sets in, data sets with CF attributes out.

    >>> import xarray as xr, nerido.xarray
    >>> flight = xr.open_dataset("flight.nc")
    >>> result = nerido.xarray.retrieve(flight, sst_c="SST", tb="TB", noise_k=0.5)
    >>> result.to_netcdf("flight_ret.nc")

Each field is found by the keyword naming its variable, else by nerido's
name (sst_c, altitude_m, air_c, wind_ms, rain_mmh; salinity_psu, roll_deg,
pitch_deg), else by its CF standard_name; a number in place of a name is a
constant. The optional fields (salinity_psu, and roll_deg and pitch_deg for
the retrieval) take the defaults of nerido.retrieve where the Dataset
has no variable for them. Units are read
from each variable's `units` attribute and converted by the library's own
UDUNITS-2 conversion, each value in double precision and rounded once to
float32: the same bits as nerido-batch reading the same file (301.15 K
gives what 28 degC gives). Six Tb come from one variable with a channel
dimension (`tb=`; its channels are matched to nerido's by their frequency
coordinate, in any order and any frequency unit) or from six variables
(`tb_names=[...]`, in the order of `nerido.channels_ghz`). Coordinates
and the input's other dimensions are kept. With Dask-backed input the
result is lazy and computed block by block.
"""

import warnings

import numpy as np
import xarray as xr

from nerido import _core
from nerido._retrieval import RetrievalStatus
from nerido._retrieval import retrieve as _retrieve
from nerido._scene import brightness_temperatures, channels_ghz

# Each scene field's unit (UDUNITS-2 spelling) and CF standard name.
_FIELDS = {name: (units, standard_name) for name, units, standard_name in _core.field_units}
# How the results are named and described, as nerido-batch writes them.
_OUTPUTS = dict(_core.outputs)
_TB_NAME, _TB_ATTRS = _core.brightness_temperature_output
_CHANNEL = "channel"
_CONVENTIONS = "CF-1.8"
# netCDF's default fill value of a float, as nerido-batch's NetCDF output has it.
_FILL_FLOAT = np.float32(9.969209968386869e36)


def _variable(ds, field, given):
    """The DataArray of `field`: the named variable, a constant, nerido's
    name, or the one variable with the field's standard_name."""
    if given is not None and not isinstance(given, str):
        return xr.DataArray(np.float64(given), attrs={"units": _FIELDS[field][0]})
    if given is not None:
        if given not in ds.variables:
            raise KeyError(f"no variable {given!r} in the Dataset ({field}={given!r})")
        return ds[given]
    if field in ds.variables:
        return ds[field]
    standard = _FIELDS.get(field, ("", ""))[1]
    found = [v for v in ds.data_vars.values() if standard and v.attrs.get("standard_name") == standard]
    if len(found) == 1:
        return found[0]
    if len(found) > 1:
        names = ", ".join(repr(v.name) for v in found)
        raise ValueError(f"several variables are {standard} ({names}): choose one with {field}=NAME")
    raise KeyError(f"no variable for {field} in the Dataset: name it with {field}=NAME")


def _optional_variable(ds, field, given):
    """_variable of an optional field, or its default where `ds` has none."""
    try:
        return _variable(ds, field, given)
    except KeyError:
        if given is not None:
            raise
        return _variable(ds, field, _core.field_defaults[field])


def _convert(values, from_units, to_units):
    """`values` converted in double precision and rounded once to float32."""
    flat = np.ascontiguousarray(values, dtype=np.float64).reshape(-1)
    return _core.convert_units(flat, from_units, to_units).reshape(np.shape(values))


def _stored_in_double(array):
    """`array`'s values as float64, unpacked in double precision.

    xarray unpacks small integers (scale_factor, add_offset) into float32,
    which rounds before the unit conversion; nerido-batch unpacks in double.
    The stored integers are recovered exactly (they are far coarser than a
    float32's resolution) and unpacked again in double."""
    scale = array.encoding.get("scale_factor", 1.0)
    offset = array.encoding.get("add_offset", 0.0)
    stored_dtype = np.dtype(array.encoding.get("dtype", array.dtype))
    if array.dtype == np.float32 and stored_dtype.kind in "iu" and (scale != 1.0 or offset != 0.0):
        def unpack(values):
            stored = np.rint((values.astype(np.float64) - offset) / scale)
            return stored * np.float64(scale) + np.float64(offset)

        return xr.apply_ufunc(unpack, array, dask="parallelized", output_dtypes=[np.float64],
                              keep_attrs=True)
    return array.astype(np.float64, keep_attrs=True)


def _in_units(array, to_units):
    """`array` in `to_units` as float32: converted in double, rounded once."""
    from_units = array.attrs.get("units")
    if from_units is None:
        warnings.warn(
            f"variable {array.name!r} has no units: taken in {to_units}", stacklevel=3
        )
        from_units = to_units
    try:
        _convert(np.zeros(1), from_units, to_units)
    except ValueError as error:
        raise ValueError(f"variable {array.name!r}: {error}") from None
    return xr.apply_ufunc(
        _convert, _stored_in_double(array), kwargs={"from_units": from_units, "to_units": to_units},
        dask="parallelized", output_dtypes=[np.float32], keep_attrs=False,
    )


def _channels(ds, tb, tb_names):
    """The six measured Tb (K) as one DataArray with nerido's channel dimension last."""
    if tb_names is not None:
        if tb is not None:
            raise ValueError("give tb= or tb_names=, not both")
        if len(tb_names) != len(channels_ghz):
            raise ValueError(f"tb_names must name {len(channels_ghz)} variables, not {len(tb_names)}")
        parts = [_in_units(_variable(ds, "tb", name), _TB_ATTRS["units"]) for name in tb_names]
        return xr.concat(parts, dim=_CHANNEL).transpose(..., _CHANNEL)
    array = _variable(ds, "tb", "tb" if tb is None else tb)
    candidates = [d for d in array.dims if d in array.coords and array[d].ndim == 1]
    dim = next((d for d in candidates if "units" in array[d].attrs), None)
    if dim is None:
        raise ValueError(
            f"variable {array.name!r}: no channel dimension with a frequency coordinate (with units)"
        )
    ghz = _convert(array[dim].values, array[dim].attrs["units"], "GHz").astype(np.float64)
    index = _core.match_channels(ghz, f"variable {array.name!r}: ")
    picked = _in_units(array.isel({dim: list(index)}), _TB_ATTRS["units"])
    picked = picked.drop_vars(dim)
    if dim != _CHANNEL:
        picked = picked.rename({dim: _CHANNEL})
    return picked.transpose(..., _CHANNEL)


def _history(ds, call):
    earlier = ds.attrs.get("history", "")
    stamp = np.datetime64("now", "s").astype(str)
    line = f"{stamp}Z nerido {_core.version} {call}"
    return f"{earlier}\n{line}" if earlier else line


def _channel_coordinate():
    return xr.DataArray(
        channels_ghz, dims=_CHANNEL,
        attrs={"units": "GHz", "standard_name": "sensor_band_central_radiation_frequency"},
    )


def forward(ds, *, sst_c=None, altitude_m=None, air_c=None, wind_ms=None, rain_mmh=None,
            salinity_psu=None, errors="raise", threads=1):
    """Brightness temperatures (K) of the six channels for every scene of `ds`.

    Returns a float32 DataArray `tb` with the scenes' dimensions and a last
    dimension `channel` (coordinate: the frequencies in GHz), with CF
    attributes; bit for bit nerido.brightness_temperatures on the values in
    nerido's units. `errors` and `threads` as for brightness_temperatures.
    """
    given = {"sst_c": sst_c, "altitude_m": altitude_m, "air_c": air_c, "wind_ms": wind_ms,
             "rain_mmh": rain_mmh}
    fields = [_in_units(_variable(ds, name, value), _FIELDS[name][0]) for name, value in given.items()]
    fields.append(_in_units(_optional_variable(ds, "salinity_psu", salinity_psu),
                            _FIELDS["salinity_psu"][0]))
    tb = xr.apply_ufunc(
        lambda *values: brightness_temperatures(*values[:-1], salinity_psu=values[-1],
                                                errors=errors, threads=threads),
        *fields, output_core_dims=[[_CHANNEL]], dask="parallelized",
        output_dtypes=[np.float32], dask_gufunc_kwargs={"output_sizes": {_CHANNEL: len(channels_ghz)}},
    )
    tb = tb.assign_coords({_CHANNEL: _channel_coordinate()}).rename(_TB_NAME)
    tb.attrs = dict(_TB_ATTRS)
    return tb


def retrieve(ds, *, sst_c=None, altitude_m=None, air_c=None, tb=None, tb_names=None,
             salinity_psu=None, roll_deg=None, pitch_deg=None, noise_k=0.5, model_error_k=0.0,
             max_off_nadir_deg=_core.max_off_nadir_deg, errors="raise", threads=1):
    """Wind speed and rain rate retrieved from the measured Tb of every record of `ds`.

    Returns `ds` with the retrieval's variables added (named and described
    as nerido-batch's NetCDF output: ret_wind_ms, ret_rain_mmh, their
    1-sigma, their correlation, the residual and ret_status with CF flag
    attributes), `Conventions` set to CF-1.8 and a line appended to
    `history`. Results are bit for bit nerido.retrieve on the values in
    nerido's units; `noise_k`, `model_error_k`, `max_off_nadir_deg`,
    `errors` and `threads` pass through to it.
    """
    measured = _channels(ds, tb, tb_names)
    given = {"sst_c": sst_c, "altitude_m": altitude_m, "air_c": air_c}
    fields = [_in_units(_variable(ds, name, value), _FIELDS[name][0]) for name, value in given.items()]
    optional = {"salinity_psu": salinity_psu, "roll_deg": roll_deg, "pitch_deg": pitch_deg}
    fields += [_in_units(_optional_variable(ds, name, value), _FIELDS[name][0])
               for name, value in optional.items()]

    def one_block(tb_k, sst, altitude, air, salinity, roll, pitch):
        return tuple(_retrieve(tb_k, sst, altitude, air, noise_k=noise_k,
                               model_error_k=model_error_k, salinity_psu=salinity,
                               roll_deg=roll, pitch_deg=pitch,
                               max_off_nadir_deg=max_off_nadir_deg, errors=errors,
                               threads=threads))

    names = list(_OUTPUTS)
    results = xr.apply_ufunc(
        one_block, measured, *fields, input_core_dims=[[_CHANNEL]] + [[]] * len(fields),
        output_core_dims=[[]] * len(names), dask="parallelized",
        output_dtypes=[np.float32] * (len(names) - 1) + [np.int8],
    )
    out = ds.copy()
    for name, values in zip(names, results):
        attrs = dict(_OUTPUTS[name])
        if name == names[-1]:
            attrs["flag_values"] = np.array([s.value for s in RetrievalStatus], dtype=np.int8)
            attrs["flag_meanings"] = " ".join(s.name for s in RetrievalStatus)
            values.encoding["_FillValue"] = np.int8(-127)
        else:
            values.encoding["_FillValue"] = _FILL_FLOAT
        out[name] = values.assign_attrs(attrs)
    out.attrs["Conventions"] = _CONVENTIONS
    out.attrs["history"] = _history(ds, "nerido.xarray.retrieve")
    return out
