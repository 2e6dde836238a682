"""nerido: nadir brightness temperatures of the sea, 4.74 to 7.09 GHz, and the
wind and rain retrieval, over numpy arrays.

    >>> import nerido
    >>> nerido.brightness_temperatures(28, 3000, 15, 10, 5).round(2)
    array([118.98, 120.67, 121.45, 122.82, 124.98, 126.35], dtype=float32)

The computations are the C++ library's, compiled with its numerics flags:
the results are the same bits. Each call broadcasts its arguments, then runs
one compiled loop without the interpreter lock, so threads (Dask's threaded
scheduler, a thread pool) compute in parallel; the loop looks for Ctrl-C
every few tens of milliseconds, so KeyboardInterrupt ends a long call.
"""

from nerido import _core
from nerido._retrieval import Retrieval, RetrievalStatus, retrieve
from nerido._scene import brightness_temperatures, channels_ghz

__version__ = _core.version

__all__ = [
    "Retrieval",
    "RetrievalStatus",
    "brightness_temperatures",
    "channels_ghz",
    "retrieve",
]
