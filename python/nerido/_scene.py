"""The forward model over numpy arrays."""

import numpy as np

from nerido import _core
from nerido._arrays import (
    ERROR_MODES as _ERROR_MODES,
    as_float32,
    broadcast_shape,
    field_lines,
    loop_input,
    mask_of,
    scene_error_text,
    thread_count,
)

# The channels' frequencies (GHz), in the order of the last axis of every result.
channels_ghz = np.array(_core.channels_ghz, dtype=np.float32)
channels_ghz.flags.writeable = False

# The salinity (psu) of a scene that gives none: the field table's default.
_DEFAULT_SALINITY = _core.field_defaults["salinity_psu"]
# The fields, in the order of the compiled loop's arguments.
_FIELDS = ("sst_c", "altitude_m", "air_c", "wind_ms", "rain_mmh", "salinity_psu")


def brightness_temperatures(
    sst_c, altitude_m, air_c, wind_ms, rain_mmh, *, salinity_psu=_DEFAULT_SALINITY,
    errors="raise", threads=1
):
    """Brightness temperatures (K) of the six channels for every scene.

    Parameters (numbers or arrays of any shapes that broadcast together;
    salinity_psu is keyword-only; the sea-water permittivity was fitted over
    about 4 to 35 psu, and below 0.1 its fresh-water form applies):
{fields}
        errors      "raise" (default): a value outside its range, NaN or an
                    infinity raises ValueError naming the field, the value,
                    the first bad element's index and the range;
                    "nan": such elements get six NaNs, the rest is computed.
        threads     threads of the compiled loop, each on a contiguous block
                    of the scenes: 1 (default) computes on the calling thread
                    alone, which leaves the cores to Dask or to a thread pool
                    of the caller's; None or 0: one per core
                    (std::thread::hardware_concurrency); negative: ValueError.
                    The results are the same bits for any count.

    The values are converted to float32 first, and the ranges are checked on
    those float32 values. A masked element of a numpy masked array is a
    missing value (NaN: an error, or six NaNs with errors="nan"), and the
    result is then masked where an input was. Returns a float32 array of shape
    broadcast_shape + (6,), in the order of `channels_ghz`, bit for bit the
    values of the C++ nerido::brightness_temperatures. Non-numeric input
    raises TypeError.

    >>> brightness_temperatures(28, 3000, 15, 10, 5).round(2)
    array([118.98, 120.67, 121.45, 122.82, 124.98, 126.35], dtype=float32)
    """
    if errors not in _ERROR_MODES:
        raise ValueError(f"errors must be one of {_ERROR_MODES}, not {errors!r}")
    threads = thread_count(threads)
    given = (sst_c, altitude_m, air_c, wind_ms, rain_mmh, salinity_psu)
    named = {name: as_float32(name, value) for name, value in zip(_FIELDS, given)}
    shape = broadcast_shape([(name, array.shape) for name, array in named.items()])
    flat = [loop_input(array, shape) for array in named.values()]
    out = np.empty(shape + (len(channels_ghz),), dtype=np.float32)
    first_bad = _core.scene_loop(*flat, out, errors == "raise", threads)
    if first_bad >= 0:
        values = [float(v[first_bad if v.size > 1 else 0]) for v in flat]
        raise ValueError(scene_error_text(values, first_bad, shape))
    mask = mask_of(given, shape)
    if mask is not None:
        return np.ma.masked_array(out, mask=np.broadcast_to(mask[..., np.newaxis], out.shape))
    return out


brightness_temperatures.__doc__ = brightness_temperatures.__doc__.replace(
    "{fields}", field_lines(_FIELDS)
)
