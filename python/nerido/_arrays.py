"""Argument handling shared by the functions of the package: numbers only,
float32 values (the values the model computes with), numpy broadcasting
with the fields named in its errors, contiguous copies for the C++ loops."""

import operator

import numpy as np

from nerido import _core

# The largest thread count the compiled loops take (a C int); more threads
# than elements are never started anyway.
_MAX_THREADS = 2**31 - 1

# Array kinds accepted as numbers: signed and unsigned integers, floats.
# Booleans, complex numbers, strings, dates and Python objects are refused.
_NUMERIC_KINDS = "iuf"


def as_float32(name, value):
    """`value` as a float32 array; TypeError unless it holds real numbers.

    A masked element (numpy masked arrays, as netCDF4 returns them) is a
    missing value: NaN here; `mask_of` tells which elements were masked."""
    array = np.ma.getdata(value) if np.ma.isMaskedArray(value) else np.asarray(value)
    if array.dtype.kind not in _NUMERIC_KINDS:
        raise TypeError(f"{name} must hold real numbers, not {array.dtype} values")
    # Values beyond the float32 range become infinities, which the range
    # checks then report; that is not worth a numpy warning as well.
    with np.errstate(over="ignore"):
        values = array.astype(np.float32, copy=False)
    if np.ma.isMaskedArray(value) and np.ma.getmask(value) is not np.ma.nomask:
        values = np.where(np.ma.getmaskarray(value), np.float32(np.nan), values)
    return values


def mask_of(values, shape):
    """The union of the masks of `values` broadcast to `shape`, or None when
    none of them is a masked array with a masked element."""
    masks = [np.ma.getmaskarray(v) for v in values
             if np.ma.isMaskedArray(v) and np.ma.getmask(v) is not np.ma.nomask]
    if not masks:
        return None
    return np.logical_or.reduce([np.broadcast_to(m, shape) for m in masks])


def broadcast_shape(named_shapes):
    """The common shape of (name, shape) pairs; ValueError naming them if none."""
    try:
        return np.broadcast_shapes(*(shape for _, shape in named_shapes))
    except ValueError:
        listed = ", ".join(f"{name} {shape}" for name, shape in named_shapes)
        raise ValueError(f"the shapes do not broadcast together: {listed}") from None


def contiguous_copy(array, shape):
    """A C-contiguous float32 copy of `array` broadcast to `shape`, flattened.

    Always a copy: the C++ loop reads it without the interpreter lock, so no
    other Python thread may hold a reference to it."""
    return np.array(np.broadcast_to(array, shape), dtype=np.float32, order="C").reshape(-1)


def loop_input(array, shape):
    """What a compiled loop that repeats a single value reads for `array`
    broadcast to `shape`: a one-element float32 copy when `array` holds one
    value (no copy of the broadcast), else contiguous_copy(array, shape)."""
    if array.size == 1:
        return np.array(array, dtype=np.float32).reshape(-1)
    return contiguous_copy(array, shape)


def field_lines(names, indent=8):
    """Docstring lines "name  label, range" for scene fields, from the library's field table."""
    table = {name: (label, range_text) for name, label, range_text in _core.fields}
    width = max(len(name) for name in names) + 2
    pad = " " * indent
    return "\n".join(
        f"{pad}{name:<{width}}{table[name][0]}, {table[name][1]}" for name in names
    )


def thread_count(threads):
    """The `threads=` argument for the compiled loops: None becomes 0 (all
    cores); an integer 0 or more is kept; a negative one is a ValueError,
    anything but an integer (booleans included) a TypeError."""
    if threads is None:
        return 0
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError(f"threads must be an integer or None, not {threads!r}")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an integer or None, not {threads!r}") from None
    if count < 0:
        raise ValueError(f"threads must be 0 or more (0 or None: all cores), not {count}")
    return min(count, _MAX_THREADS)


# The values of the errors= keyword.
ERROR_MODES = ("raise", "nan")


def located(reason, index, shape):
    """`reason` with the place of flat `index` in `shape`."""
    if not shape:
        return reason
    where = tuple(int(i) for i in np.unravel_index(index, shape))
    return f"{reason} (first bad element at index {where} of broadcast shape {shape})"


def scene_error_text(values, index, shape):
    """Why the scene of `values` (its six fields) at flat `index` was refused,
    with its index in `shape`."""
    _, reason = _core.scene_error(*values)
    return located(reason, index, shape)
