#!/usr/bin/env python3
"""A flight file in NetCDF, retrieved two ways: nerido-batch and nerido.xarray.

Makes a small synthetic flight as instruments write it (one record a
second; SST from an analysis in kelvin, radar altitude in feet, the six
measured Tb in one (time, channel) variable with MHz frequencies in the
instrument's own channel order, a gap marked by _FillValue), then

    nerido-batch retrieve flight.nc --map altitude_m=RADALT --map tb=TB -o flight_ret.nc

and the same with nerido.xarray.retrieve, checks that both give the same
numbers, and draws wind and rain against time with their 1-sigma bands and
the records whose status is not ok marked.

    .venv/bin/python examples/flight_netcdf.py --batch build/nerido-batch --plot flight.png
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import xarray as xr

import nerido
import nerido.xarray

# The instrument's channel order (indices into nerido.channels_ghz).
INSTRUMENT_ORDER = [5, 0, 4, 1, 3, 2]
NOISE_K = 0.5
FILL = np.float32(-999.0)


def make_flight(path, seconds=1200, seed=3):
    """A flight of `seconds` records at 1 Hz through a rain band, written to `path`."""
    rng = np.random.default_rng(seed)
    t = np.arange(seconds, dtype=np.float64)
    wind = 14.0 + 6.0 * np.sin(t / 190.0)
    rain = 30.0 * np.exp(-(((t - 0.55 * seconds) / (0.06 * seconds)) ** 2))
    sst_k = 301.4 - 0.4 * t / seconds
    alt_ft = np.full(seconds, 9842.5)
    air_c = np.full(seconds, 15.0)
    truth = nerido.brightness_temperatures(
        (sst_k - 273.15).astype(np.float32), (alt_ft * 0.3048).astype(np.float32), air_c, wind, rain
    )
    measured = (truth + rng.normal(0.0, NOISE_K, truth.shape)).astype(np.float32)
    measured = measured[:, INSTRUMENT_ORDER]
    measured[400:430, 2] = FILL  # a channel drops out for half a minute
    ds = xr.Dataset(
        {
            "SST": ("time", sst_k, {"units": "K", "standard_name": "sea_surface_temperature"}),
            "RADALT": ("time", alt_ft, {"units": "ft", "long_name": "radar altitude"}),
            "air_c": ("time", air_c, {"units": "degC", "standard_name": "air_temperature"}),
            "TB": (("time", "channel"), measured,
                   {"units": "K", "long_name": "measured brightness temperature"}),
            "true_wind": ("time", wind, {"units": "m s-1"}),
            "true_rain": ("time", rain, {"units": "mm h-1"}),
        },
        coords={
            "time": ("time", t, {"units": "seconds since 2026-09-01 12:00:00",
                                 "standard_name": "time"}),
            "channel": ("channel", np.array(nerido.channels_ghz, np.float64)[INSTRUMENT_ORDER]
                        * 1000.0, {"units": "MHz"}),
        },
        attrs={"title": "synthetic flight through a rain band", "history": "made by flight_netcdf.py"},
    )
    encoding = {"TB": {"_FillValue": FILL}}
    ds.to_netcdf(path, encoding=encoding, format="NETCDF4_CLASSIC")


def plot(result, path):
    """Wind and rain against time with their 1-sigma bands; statuses other than ok marked."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    minutes = (result["time"] - result["time"][0]) / np.timedelta64(1, "m")
    status = result["ret_status"].values
    fig, axes = plt.subplots(2, 1, figsize=(10, 6.5), sharex=True, layout="constrained")
    panels = [("ret_wind_ms", "ret_wind_sigma_ms", "true_wind", "wind speed (m/s)"),
              ("ret_rain_mmh", "ret_rain_sigma_mmh", "true_rain", "rain rate (mm/h)")]
    for ax, (value, sigma, truth, label) in zip(axes, panels):
        v = result[value].values
        s = result[sigma].values
        ax.fill_between(minutes, np.maximum(v - s, 0), v + s, color="#9ecae1", label="±1σ")
        ax.plot(minutes, v, color="#08519c", lw=0.8, label="retrieved")
        ax.plot(minutes, result[truth].values, color="black", lw=1.0, ls="--", label="truth")
        for code, marker, colour in [(1, "o", "tab:orange"), (2, "^", "tab:red"),
                                     (3, "v", "tab:purple"), (4, "x", "black")]:
            hit = status == code
            if hit.any():
                ax.plot(minutes[hit], v[hit], marker, ms=3, ls="none", color=colour,
                        label=nerido.RetrievalStatus(code).name)
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    axes[-1].set_xlabel("time since 12:00 UTC (min)")
    fig.suptitle(f"{result.attrs.get('title', '')}: retrieval with noise {NOISE_K} K")
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--batch", default=shutil.which("nerido-batch") or "build/nerido-batch",
                        help="the nerido-batch program (default: on PATH, else build/nerido-batch)")
    parser.add_argument("--seconds", type=int, default=1200, help="records, one a second")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the retrieval against time")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        flight = Path(folder) / "flight.nc"
        out = Path(folder) / "flight_ret.nc"
        make_flight(flight, args.seconds)
        subprocess.run([args.batch, "retrieve", str(flight), "--map", "altitude_m=RADALT",
                        "--map", "tb=TB", "--noise", str(NOISE_K), "-q", "-o", str(out)],
                       check=True)
        with xr.open_dataset(out) as from_batch, xr.open_dataset(flight) as ds:
            from_xarray = nerido.xarray.retrieve(ds, altitude_m="RADALT", tb="TB", noise_k=NOISE_K)
            for name, _ in nerido._core.outputs:
                np.testing.assert_array_equal(from_batch[name].values, from_xarray[name].values)
            counts = {s.name: int((from_xarray["ret_status"] == s.value).sum())
                      for s in nerido.RetrievalStatus}
            ok = from_xarray["ret_status"] == 0
            error = (from_xarray["ret_wind_ms"] - ds["true_wind"]).where(ok)
            print(f"{args.seconds} records: nerido-batch and nerido.xarray agree bit for bit")
            print("statuses:", ", ".join(f"{k} {v}" for k, v in counts.items()))
            print(f"wind retrieved minus true where ok: bias {float(error.mean()):+.3f}, "
                  f"rms {float(np.sqrt((error**2).mean())):.3f} m/s")
            if args.plot:
                plot(from_xarray.load(), args.plot)
                print("plot written to", args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
