"""The wind and rain retrieval over numpy arrays."""

import enum
from typing import NamedTuple

import numpy as np

from nerido import _core
from nerido._arrays import (
    ERROR_MODES as _ERROR_MODES,
    as_float32,
    broadcast_shape,
    contiguous_copy,
    located,
    mask_of,
    thread_count,
)

_CHANNELS = len(_core.channels_ghz)
# The optional inputs of an observation with their defaults (the field
# table's), in the order of the compiled loop's arguments.
_OPTIONAL = ("salinity_psu", "roll_deg", "pitch_deg")
_DEFAULTS = _core.field_defaults


class RetrievalStatus(enum.IntEnum):
    """How a retrieval ended; the values of the `status` arrays.

    ok             converged, with a residual consistent with the noise: the
                   values and their sigmas hold; a wind or rain of exactly 0
                   (calm, no rain) is an answer like any other
    at_bound       the best fit has wind or rain at 150, the top of the
                   domain: a scene the model does not cover
    poor_fit       the RMS of the residuals, each in units of its channel's
                   noise (whitened with a model error), is above 3: the scene
                   does not fit the model (land or ice in view, a failed
                   channel reading nonsense)
    not_converged  the iteration limit was reached: the result is the best
                   point found
    invalid_input  (with errors="nan") SST, altitude or air temperature out
                   of range (NaN included), an infinite Tb or fewer than three
                   channels: every other field is NaN
    off_nadir      the radiometer looked further off nadir than
                   max_off_nadir_deg: no fit, every other field is NaN

    When several apply, the first in the order invalid_input, off_nadir,
    not_converged, poor_fit, at_bound, ok is given.

    >>> RetrievalStatus(0).name
    'ok'
    """

    ok = 0
    at_bound = 1
    poor_fit = 2
    not_converged = 3
    invalid_input = 4
    off_nadir = 5


class Retrieval(NamedTuple):
    """Retrieved values, one array each, of the broadcast shape of the inputs."""

    wind_ms: np.ndarray  # wind speed (m/s), 0 to 150
    rain_mmh: np.ndarray  # rain rate (mm/h), 0 to 150
    wind_sigma_ms: np.ndarray  # 1 sigma of the wind speed (m/s)
    rain_sigma_mmh: np.ndarray  # 1 sigma of the rain rate (mm/h)
    wind_rain_correlation: np.ndarray  # correlation of the two errors, -1 to 1
    residual_rms_k: np.ndarray  # RMS of the measured minus modelled Tb (K)
    status: np.ndarray  # int8, values of RetrievalStatus


def _in_kelvin_range(name, values, kelvin_range):
    """Raises ValueError unless every value lies in kelvin_range (inclusive)."""
    low, high = kelvin_range
    if not (np.all(values >= low) and np.all(values <= high)):
        raise ValueError(f"{name} must be from {low:g} to {high:g} K, not {values.tolist()}")


def _noise_per_channel(noise_k):
    """noise_k as six float32 values from 0.01 to 100 K (one number for all six)."""
    noise = as_float32("noise_k", noise_k)
    try:
        noise = np.broadcast_to(noise, (_CHANNELS,))
    except ValueError:
        raise ValueError(
            f"noise_k must be one number or {_CHANNELS} numbers, not shape {noise.shape}"
        ) from None
    _in_kelvin_range("noise_k", noise, _core.noise_range_k)
    return [float(value) for value in noise]


def _input_error_text(named, flat, index, shape):
    """Why the element at flat `index` was refused: its first input out of range."""
    for name, values in zip(named, flat):
        reason = _core.field_error(name, float(values[index]))
        if reason is not None:
            return located(reason, index, shape)
    return located("an input is out of its range", index, shape)


def _model_error(model_error_k):
    """model_error_k as one float32 value from 0 to 100 K."""
    error = as_float32("model_error_k", model_error_k)
    if error.shape != ():
        raise ValueError(f"model_error_k must be one number, not shape {error.shape}")
    _in_kelvin_range("model_error_k", error, _core.model_error_range_k)
    return float(error)


def _max_off_nadir(degrees):
    """max_off_nadir_deg as a float32, or ValueError outside 0 to the limit."""
    value = as_float32("max_off_nadir_deg", degrees)
    limit = _core.max_off_nadir_limit_deg
    if value.ndim != 0 or not 0 <= value <= limit:
        raise ValueError(f"max_off_nadir_deg must be one number from 0 to {limit:g} (degrees), "
                         f"not {degrees!r}")
    return float(value)


def retrieve(tb_k, sst_c, altitude_m, air_c, noise_k=0.5, *, model_error_k=0.0,
             salinity_psu=_DEFAULTS["salinity_psu"], roll_deg=_DEFAULTS["roll_deg"],
             pitch_deg=_DEFAULTS["pitch_deg"], max_off_nadir_deg=_core.max_off_nadir_deg,
             errors="raise",
             threads=1):
    """Wind speed and rain rate that best explain measured brightness temperatures.

    Parameters:
        tb_k        measured brightness temperatures (K), shape (..., 6) in the
                    order of `channels_ghz`; NaN marks a missing channel
        sst_c       sea-surface temperature (degrees Celsius), -2 to 45
        altitude_m  radar altitude (m), above 0 and up to 16000
        air_c       flight-level air temperature (degrees Celsius), -70 to 45
        noise_k     1-sigma noise of the channels (K), 0.01 to 100: one number
                    or six
        model_error_k  1 sigma of the model's error common to all channels
                    (K), 0 (default) to 100: it widens the sigmas (the fit
                    becomes generalised least squares)
        salinity_psu  sea-surface salinity (psu), 0 to 40
        roll_deg    the aircraft's roll (degrees), -90 to 90
        pitch_deg   the aircraft's pitch (degrees), -90 to 90; the radiometer
                    looks off nadir by acos(cos roll * cos pitch)
        max_off_nadir_deg  the largest off-nadir angle fitted (degrees),
                    one number from 0 to 90, else ValueError
        errors      "raise" (default): an SST, altitude, air temperature,
                    salinity, roll or pitch outside its range, NaN or masked
                    raises ValueError naming the field, the value, the first
                    bad element's index and the range, as
                    brightness_temperatures does; "nan": such elements get
                    status invalid_input and NaN results
        threads     threads of the compiled loop, each on a contiguous block
                    of the observations: 1 (default) retrieves on the calling
                    thread alone, which leaves the cores to Dask or to a
                    thread pool of the caller's; None or 0: one per core
                    (std::thread::hardware_concurrency); negative: ValueError.
                    The results are the same bits for any count.

    sst_c, altitude_m, air_c, salinity_psu, roll_deg and pitch_deg
    broadcast against tb_k[..., 0]. A masked
    element of a numpy masked array is a missing value: a missing channel in
    tb_k, a missing input elsewhere (an error, or with errors="nan" an
    invalid input); the results are then masked arrays, masked where the
    SST, altitude, air temperature, salinity or attitude (or every channel)
    was. Every element gets a status (see RetrievalStatus): an infinite Tb or
    fewer than three channels give invalid_input and NaN in the other fields,
    no exception. Non-numeric input raises TypeError; a tb_k without a last
    axis of six, shapes that do not broadcast, a noise_k, model_error_k or
    max_off_nadir_deg out of its range raise ValueError, as does a negative
    thread count.
    Returns a Retrieval of arrays of the broadcast shape.
    """
    if not _core.has_retrieval:
        raise NotImplementedError("this build of nerido was compiled without the retrieval")
    if errors not in _ERROR_MODES:
        raise ValueError(f"errors must be one of {_ERROR_MODES}, not {errors!r}")
    tb = as_float32("tb_k", tb_k)
    if tb.ndim == 0 or tb.shape[-1] != _CHANNELS:
        raise ValueError(f"tb_k must have shape (..., {_CHANNELS}), not {tb.shape}")
    noise = _noise_per_channel(noise_k)
    model_error = _model_error(model_error_k)
    max_off_nadir = _max_off_nadir(max_off_nadir_deg)
    threads = thread_count(threads)
    given = (sst_c, altitude_m, air_c, salinity_psu, roll_deg, pitch_deg)
    named = {
        name: as_float32(name, value)
        for name, value in zip(("sst_c", "altitude_m", "air_c") + _OPTIONAL, given)
    }
    shape = broadcast_shape(
        [("tb_k[..., 0]", tb.shape[:-1])] + [(name, array.shape) for name, array in named.items()]
    )
    flat_tb = contiguous_copy(tb, shape + (_CHANNELS,))
    flat = [contiguous_copy(array, shape) for array in named.values()]
    *fields, first_bad = _core.retrieval_loop(
        flat_tb, *flat, noise, model_error, max_off_nadir, errors == "raise", threads
    )
    if first_bad >= 0:
        raise ValueError(_input_error_text(named, flat, first_bad, shape))
    results = [field.reshape(shape) for field in fields]
    # Masked where an input other than a Tb was, or every channel.
    masks = [m for m in (mask_of(given, shape),) if m is not None]
    if np.ma.isMaskedArray(tb_k) and np.ma.getmask(tb_k) is not np.ma.nomask:
        all_channels = np.ma.getmaskarray(tb_k).all(axis=-1)
        masks.append(np.broadcast_to(all_channels, shape))
    if masks:
        mask = np.logical_or.reduce(masks)
        results = [np.ma.masked_array(field, mask=mask) for field in results]
    return Retrieval(*results)
