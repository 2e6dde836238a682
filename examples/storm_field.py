#!/usr/bin/env python3
"""A synthetic hurricane seen by the six-channel radiometer, on a Dask cluster.

Builds an N x N field (Holland-type vortex wind, rain peaking in the eyewall
ring, SST with the storm's cold wake) as an xarray Dataset chunked with Dask,
computes the six brightness-temperature fields, adds radiometer noise,
retrieves wind and rain from the noisy fields and prints the
retrieved-minus-true statistics.

    .venv/bin/python examples/storm_field.py -n 400          # local cluster
    .venv/bin/python examples/storm_field.py -n 20000 --scheduler tcp://host:8786
    .venv/bin/python examples/storm_field.py -n 300 --plot storm.png

With --scheduler the work runs on that cluster (its workers need the nerido
package installed); otherwise on a small in-process LocalCluster. Nothing
is gathered to this process but the statistics (and, for --plot, a field
thinned to at most 500 x 500 points).
"""

import argparse
import sys
import time

import dask
import dask.array as da
import numpy as np
import xarray as xr

import nerido

# The storm (Holland 1980 profile without the Coriolis term).
DOMAIN_KM = 400.0  # side of the square field
MAX_WIND_MS = 60.0  # peak wind, at the radius of maximum wind
MAX_WIND_RADIUS_KM = 30.0
HOLLAND_B = 1.6  # profile shape: larger is a peakier vortex
AMBIENT_WIND_MS = 4.0  # wind far from the storm
EYEWALL_RAIN_MMH = 45.0  # peak rain rate in the eyewall ring
EYEWALL_WIDTH_KM = 12.0  # 1/e half-width of the ring
BAND_RAIN_MMH = 6.0  # rain of the outer bands, decaying outwards
BAND_DECAY_KM = 90.0
# The sea and the aircraft.
SST_C = 29.0  # far from the storm
SST_GRADIENT_C_PER_KM = -0.002  # cooler to the north
COLD_WAKE_C = 2.0  # cooling under and behind the storm (the storm moves north)
ALTITUDE_M = 3000.0
AIR_C = 12.0
NOISE_K = 0.5  # radiometer noise, 1 sigma per channel
PLOT_POINTS = 500  # most points per side gathered for a plot


def storm(n, chunk):
    """The true fields on an n x n grid, as a Dask-chunked Dataset."""
    coords = np.linspace(-DOMAIN_KM / 2, DOMAIN_KM / 2, n, dtype=np.float64)
    x = da.from_array(coords, chunks=chunk)[np.newaxis, :]
    y = da.from_array(coords, chunks=chunk)[:, np.newaxis]
    r = da.sqrt(x**2 + y**2)
    ratio_b = (MAX_WIND_RADIUS_KM / da.maximum(r, 1e-3)) ** HOLLAND_B
    wind = AMBIENT_WIND_MS + (MAX_WIND_MS - AMBIENT_WIND_MS) * da.sqrt(
        ratio_b * da.exp(1.0 - ratio_b)
    )
    rain = EYEWALL_RAIN_MMH * da.exp(-(((r - MAX_WIND_RADIUS_KM) / EYEWALL_WIDTH_KM) ** 2))
    rain = rain + BAND_RAIN_MMH * da.exp(-r / BAND_DECAY_KM)
    wake = COLD_WAKE_C * da.exp(-((x / 60.0) ** 2)) / (1.0 + da.exp(y / 40.0))
    sst = SST_C + SST_GRADIENT_C_PER_KM * y - wake
    dims = ("y", "x")
    return xr.Dataset(
        {
            "sst_c": (dims, sst.astype(np.float32)),
            "wind_ms": (dims, wind.astype(np.float32)),
            "rain_mmh": (dims, rain.astype(np.float32)),
        },
        coords={"y": ("y", coords, {"units": "km"}), "x": ("x", coords, {"units": "km"})},
    )


def brightness_fields(ds):
    """The six Tb fields (K) of the storm, lazily, with a trailing channel axis."""
    tb = xr.apply_ufunc(
        nerido.brightness_temperatures,
        ds.sst_c,
        ALTITUDE_M,
        AIR_C,
        ds.wind_ms,
        ds.rain_mmh,
        dask="parallelized",
        output_core_dims=[["channel"]],
        output_dtypes=[np.float32],
        dask_gufunc_kwargs={"output_sizes": {"channel": nerido.channels_ghz.size}},
    )
    return tb.assign_coords(channel=("channel", nerido.channels_ghz, {"units": "GHz"}))


def with_noise(tb, noise_k, seed):
    """tb plus Gaussian noise of noise_k (K), drawn chunk by chunk on the workers."""
    noise = da.random.RandomState(seed).normal(0.0, noise_k, size=tb.shape, chunks=tb.data.chunks)
    return (tb + xr.DataArray(noise, dims=tb.dims)).astype(np.float32)


def retrieval_fields(tb, ds, noise_k):
    """Wind, rain and status retrieved from the Tb fields, lazily."""
    fields = xr.apply_ufunc(
        nerido.retrieve,
        tb,
        ds.sst_c,
        ALTITUDE_M,
        AIR_C,
        kwargs={"noise_k": noise_k},
        input_core_dims=[["channel"], [], [], []],
        output_core_dims=[[]] * len(nerido.Retrieval._fields),
        dask="parallelized",
        output_dtypes=[np.float32] * (len(nerido.Retrieval._fields) - 1) + [np.int8],
    )
    return xr.Dataset(dict(zip(nerido.Retrieval._fields, fields)))


def error_statistics(retrieved, ds):
    """Lazy statistics of retrieved minus true wind and rain over the converged
    points, and the count of each status."""
    usable = retrieved.status == int(nerido.RetrievalStatus.ok)
    stats = {}
    for name in ("wind_ms", "rain_mmh"):
        error = (retrieved[name] - ds[name]).where(usable)
        stats[f"{name} bias"] = error.mean()
        stats[f"{name} rms"] = np.sqrt((error**2).mean())
        # (zeros where not usable: no all-NaN chunk for nanmax to warn about)
        stats[f"{name} max |error|"] = abs(error).fillna(0.0).max()
    for status in nerido.RetrievalStatus:
        stats[f"status {status.name}"] = (retrieved.status == int(status)).sum()
    return stats


def print_report(n, seconds, stats, out=sys.stdout):
    print(f"{n} x {n} storm, {n * n} scenes: {seconds:.2f} s, "
          f"{n * n / seconds:,.0f} scenes/s (Tb, noise and retrieval)", file=out)
    print("retrieved minus true, over the points with status ok:", file=out)
    for name in ("wind_ms", "rain_mmh"):
        print(f"  {name:9s} bias {stats[name + ' bias']:+.3f}  rms {stats[name + ' rms']:.3f}  "
              f"max |error| {stats[name + ' max |error|']:.3f}", file=out)
    counts = ", ".join(f"{s.name} {stats['status ' + s.name]}" for s in nerido.RetrievalStatus)
    print(f"statuses: {counts}", file=out)


def plot(path, ds, tb, retrieved):
    """Truth, retrieval, error and 1 sigma of wind and rain, and Tb at 7.09 GHz,
    thinned to PLOT_POINTS per side. Compared panels share their colour limits:
    true and retrieved wind, true and retrieved rain."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    step = max(1, -(-ds.sizes["x"] // PLOT_POINTS))
    thin = {"x": slice(None, None, step), "y": slice(None, None, step)}
    fields = dask.compute({
        "true wind": ds.wind_ms[thin],
        "retrieved wind": retrieved.wind_ms[thin],
        "true rain": ds.rain_mmh[thin],
        "retrieved rain": retrieved.rain_mmh[thin],
        "wind sigma": retrieved.wind_sigma_ms[thin],
        "rain sigma": retrieved.rain_sigma_mmh[thin],
        "tb": tb.isel(channel=-1)[thin],
    })[0]
    wind_error = fields["retrieved wind"] - fields["true wind"]
    rain_error = fields["retrieved rain"] - fields["true rain"]

    def top(*arrays):
        """Upper colour limit shared by the arrays: the largest finite value."""
        return max(float(np.nanmax(np.where(np.isfinite(a), a, np.nan))) for a in arrays)

    def spread(error):
        """Symmetric limit of an error map: its 99th percentile of |error|."""
        return max(float(np.nanpercentile(np.abs(error), 99)), 1e-3)

    wind_top = top(fields["true wind"], fields["retrieved wind"])
    rain_top = top(fields["true rain"], fields["retrieved rain"])
    wind_spread = spread(wind_error)
    rain_spread = spread(rain_error)
    panels = [
        (fields["true wind"], "true wind", "wind speed (m/s)", "viridis", 0.0, wind_top),
        (fields["retrieved wind"], "retrieved wind", "wind speed (m/s)", "viridis", 0.0, wind_top),
        (wind_error, "wind: retrieved minus true", "error (m/s)", "RdBu_r", -wind_spread, wind_spread),
        (fields["true rain"], "true rain", "rain rate (mm/h)", "Blues", 0.0, rain_top),
        (fields["retrieved rain"], "retrieved rain", "rain rate (mm/h)", "Blues", 0.0, rain_top),
        (rain_error, "rain: retrieved minus true", "error (mm/h)", "RdBu_r", -rain_spread, rain_spread),
        (fields["tb"], "Tb at 7.09 GHz, noise-free", "Tb (K)", "magma", None, None),
        (fields["wind sigma"], "wind 1σ (noise only; one-sided where rain is 0)", "1σ (m/s)", "cividis", 0.0,
         float(np.nanpercentile(fields["wind sigma"], 99))),
        (fields["rain sigma"], "rain 1σ (noise only; one-sided where rain is 0)", "1σ (mm/h)", "cividis", 0.0,
         float(np.nanpercentile(fields["rain sigma"], 99))),
    ]
    figure, axes = plt.subplots(3, 3, figsize=(16, 13), constrained_layout=True)
    for axis, (field, title, unit, cmap, low, high) in zip(axes.flat, panels):
        field.plot(ax=axis, cmap=cmap, vmin=low, vmax=high, cbar_kwargs={"label": unit})
        axis.set_title(title)
        axis.set_xlabel("x (km)")
        axis.set_ylabel("y (km)")
        axis.set_aspect("equal")
    figure.suptitle(f"Synthetic storm: SST {SST_C:g} °C far field, altitude {ALTITUDE_M:g} m, "
                    f"air {AIR_C:g} °C; errors clipped at their 99th percentile")
    figure.savefig(path, dpi=80)
    print(f"plot written to {path}")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=400, help="grid points per side (default 400)")
    parser.add_argument("--chunk", type=int, default=0,
                        help="chunk side in grid points (default: about four chunks per worker)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask scheduler (tcp://host:8786) instead of a local cluster")
    parser.add_argument("--workers", type=int, default=2, help="local cluster workers (default 2)")
    parser.add_argument("--noise", type=float, default=NOISE_K,
                        help=f"radiometer noise per channel, K (default {NOISE_K})")
    parser.add_argument("--seed", type=int, default=1, help="noise seed (default 1)")
    parser.add_argument("--plot", metavar="FILE.png", help="plot truth, retrieval, error and sigma of wind and rain")
    args = parser.parse_args(argv)
    if args.n < 2 or args.chunk < 0 or args.workers < 1 or not args.noise > 0:
        parser.error("-n must be at least 2, --chunk and --workers positive, --noise above 0")
    return args


def run(args, client):
    """Everything on `client`'s cluster; returns the statistics."""
    workers = max(1, len(client.scheduler_info()["workers"]))
    chunk = args.chunk or max(16, -(-args.n // int(np.ceil(np.sqrt(4 * workers)))))
    ds = storm(args.n, chunk)
    tb = brightness_fields(ds)
    retrieved = retrieval_fields(with_noise(tb, args.noise, args.seed), ds, args.noise)
    start = time.perf_counter()
    (stats,) = dask.compute(error_statistics(retrieved, ds))
    seconds = time.perf_counter() - start
    stats = {name: value.item() for name, value in stats.items()}
    print_report(args.n, seconds, stats)
    if args.plot:
        plot(args.plot, ds, tb, retrieved)
    return stats


def main(argv=None):
    args = parse_arguments(argv)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("storm_field.py: --plot needs matplotlib, which is not installed "
                  "(Debian: apt-get install python3-matplotlib)", file=sys.stderr)
            return 2
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        with Client(args.scheduler) as client:
            run(args, client)
        return 0
    # Threads in this process: the nerido loops release the interpreter lock,
    # and a cluster of threads starts in a fraction of a second. Its HTTP
    # server takes any free port, so that several runs may share a machine.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=False,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        run(args, client)
    return 0


if __name__ == "__main__":
    sys.exit(main())
