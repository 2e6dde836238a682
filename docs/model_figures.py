#!/usr/bin/env python3
"""The figures and tables of docs/model.md: the model's curves, and its error
against independent public references.

    cmake --build build -j2 --target nerido_model_probe
    .venv/bin/python docs/model_figures.py build          # docs/*.png, tables on stdout

Needs the nerido Python package in the interpreter (README, "Python"),
matplotlib (Debian python3-matplotlib) and the build's nerido_model_probe,
which prints the permittivity, the calm-sea emissivities and the budget with
a substituted emissivity or rain-layer top.

The references are written here from their published formulas and
coefficients, independently of the library:
- Klein and Swift (1977), IEEE Trans. Antennas Propag. AP-25(1), 104-111,
  in double precision throughout; and the same with the two constants of
  SMRT's variant (smrt/permittivity/saline_water.py);
- Meissner and Wentz (2004), IEEE TGRS 42(9), 1836-1849, with the updates of
  Meissner and Wentz (2012), IEEE TGRS 50(8), 3004-3026: two Debye
  relaxations plus conductivity;
- ITU-R P.838-3 (2005), the specific attenuation of rain, k R^alpha.
"""

import argparse
import math
import subprocess
import sys
from pathlib import Path

import numpy as np

import nerido

HERE = Path(__file__).resolve().parent
CHANNELS = [float(f) for f in nerido.channels_ghz]
LABELS = [f"{f:.2f} GHz" for f in CHANNELS]
COLOURS = ["#1b4f9c", "#2a9d8f", "#8ab17d", "#e9c46a", "#f4a261", "#c0392b"]
SALINITY = 36.0  # the model's ocean (psu)
# The scene of the README's worked row: SST, altitude, air temperature.
SCENE = dict(sst_c=28.0, altitude_m=3000.0, air_c=15.0)
SCENE_TEXT = "SST 28 °C, altitude 3000 m, air 15 °C"


# ---------------------------------------------------------------- the probe

class Probe:
    """Requests to nerido_model_probe, answered in one run per batch."""

    def __init__(self, path):
        self.path = str(path)

    def ask(self, lines):
        text = "".join(line + "\n" for line in lines)
        done = subprocess.run([self.path], input=text, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise SystemExit(f"model_figures.py: {self.path} failed: {done.stderr.strip()}")
        return np.array([[float(v) for v in row.split()] for row in done.stdout.splitlines()])

    def permittivity(self, f_ghz, t_c, s_psu):
        """eps' and eps'' of the model, arrays broadcast over the inputs."""
        f, t, s = np.broadcast_arrays(*(np.asarray(v, dtype=np.float32) for v in (f_ghz, t_c, s_psu)))
        out = self.ask([f"permittivity {a!r} {b!r} {c!r}" for a, b, c in
                        zip(f.ravel().tolist(), t.ravel().tolist(), s.ravel().tolist())])
        return out[:, 0].reshape(f.shape), out[:, 1].reshape(f.shape)

    def emissivities(self, sst_c):
        """The six calm-sea nadir emissivities, shape (len(sst_c), 6)."""
        return self.ask([f"emissivities {float(np.float32(t))!r}" for t in sst_c])

    def tb_with(self, emissivities, sst_c, altitude_m, air_c, wind_ms=0.0, rain_mmh=0.0):
        """Six Tb (K) of each scene with the given emissivities (rows of six)."""
        lines = []
        for t, e in zip(sst_c, emissivities):
            values = [t, altitude_m, air_c, wind_ms, rain_mmh, *e]
            lines.append("tb " + " ".join(repr(float(np.float32(v))) for v in values))
        return self.ask(lines)

    def budget(self, rows):
        """Tb (K), rain-layer top (m) and surface emissivity of one channel per row
        (f, sst_k, altitude_m, air_k, e, wind, rain[, top_m])."""
        return self.ask(["budget " + " ".join(repr(float(np.float32(v))) for v in row)
                         for row in rows])

    def rain_attenuation(self, f_ghz, rain_mmh):
        """kappa (per metre) for every pair."""
        return self.ask([f"rain {float(np.float32(f))!r} {float(np.float32(r))!r}"
                         for f, r in zip(f_ghz, rain_mmh)])[:, 0]


# ----------------------------------------------------------- the references

def klein_swift(f_ghz, t_c, s_psu, conductivity_b0=2.033e-2, eps_vacuum=8.854e-12):
    """Klein and Swift (1977) in double precision: eps = eps' - i eps''.
    conductivity_b0 and eps_vacuum are the two constants SMRT's variant
    changes (2.0333e-2; 8.854e-12 in the stored SMRT file)."""
    t = np.asarray(t_c, dtype=float)
    s = np.asarray(s_psu, dtype=float)
    # Static permittivity: the fresh-water polynomial below 0.1 psu.
    sea = (87.134 - 1.949e-1 * t - 1.276e-2 * t**2 + 2.491e-4 * t**3) * (
        1 + 1.613e-5 * s * t - 3.656e-3 * s + 3.21e-5 * s**2 - 4.232e-7 * s**3)
    fresh = 88.045 - 0.4147 * t + 6.295e-4 * t**2 + 1.075e-5 * t**3
    eps_s = np.where(s < 0.1, fresh, sea)
    tau = (1.768e-11 - 6.086e-13 * t + 1.104e-14 * t**2 - 8.111e-17 * t**3) * (
        1 + 2.282e-5 * s * t - 7.638e-4 * s - 7.76e-6 * s**2 + 1.105e-8 * s**3)
    d = 25.0 - t
    beta = (conductivity_b0 + 1.266e-4 * d + 2.464e-6 * d**2
            - s * (1.849e-5 - 2.551e-7 * d + 2.551e-8 * d**2))
    sigma = s * (0.182521 - 1.46192e-3 * s + 2.09324e-5 * s**2 - 1.28205e-7 * s**3) * np.exp(-d * beta)
    omega = 2 * math.pi * np.asarray(f_ghz, dtype=float) * 1e9
    eps = 4.9 + (eps_s - 4.9) / (1 + 1j * omega * tau) - 1j * sigma / (omega * eps_vacuum)
    return eps.real, -eps.imag


def meissner_wentz(f_ghz, t_c, s_psu):
    """Meissner and Wentz (2004) with the updates of 2012 (d3 = -0.35594e-6;
    b2 with 0.5 (SST + 30)): eps' and eps'' of sea water."""
    t = np.maximum(np.asarray(t_c, dtype=float), -30.16)
    s = np.asarray(s_psu, dtype=float)
    f = np.asarray(f_ghz, dtype=float)
    # Pure water: static permittivity, two relaxations (frequencies in GHz).
    e0 = (3.70886e4 - 8.2168e1 * t) / (4.21854e2 + t)
    e1 = 5.7230 + 2.2379e-2 * t - 7.1237e-4 * t**2
    n1 = (45.0 + t) / (5.0478 - 7.0315e-2 * t + 6.0059e-4 * t**2)
    e2 = 3.6143 + 2.8841e-2 * t
    n2 = (45.0 + t) / (1.3652e-1 + 1.4825e-3 * t + 2.4166e-4 * t**2)
    # Conductivity (S/m).
    sig35 = 2.903602 + 8.607e-2 * t + 4.738817e-4 * t**2 - 2.991e-6 * t**3 + 4.3047e-9 * t**4
    r15 = s * (37.5109 + 5.45216 * s + 1.4409e-2 * s**2) / (1004.75 + 182.283 * s + s**2)
    alpha0 = (6.9431 + 3.2841 * s - 9.9486e-2 * s**2) / (84.850 + 69.024 * s + s**2)
    alpha1 = 49.843 - 0.2276 * s + 0.198e-2 * s**2
    sigma = sig35 * r15 * (1 + (t - 15.0) * alpha0 / (alpha1 + t))
    # Salinity factors.
    e0s = e0 * np.exp(-3.3330e-3 * s + 4.74868e-6 * s**2)
    b1 = np.where(t <= 30,
                  1 + s * (2.3232e-3 - 7.9208e-5 * t + 3.6764e-6 * t**2 - 3.5594e-7 * t**3
                           + 8.9795e-9 * t**4),
                  1 + s * (9.1873715e-4 + 1.5012396e-4 * (t - 30)))
    e1s = e1 * np.exp(-6.28908e-3 * s + 1.76032e-4 * s**2 - 9.22144e-5 * s * t)
    n1s = n1 * b1
    n2s = n2 * (1 + s * (-1.99723e-2 + 0.5 * 1.81176e-4 * (t + 30)))
    e2s = e2 * (1 + s * (-2.04265e-3 + 1.57883e-4 * t))
    f0 = 17.97510  # 1 / (2 pi eps0), GHz m / S
    eps = ((e0s - e1s) / (1 + 1j * f / n1s) + (e1s - e2s) / (1 + 1j * f / n2s) + e2s
           - 1j * sigma * f0 / f)
    return eps.real, -eps.imag


def nadir_emissivity(eps_real, eps_loss):
    """1 - |(1 - n) / (1 + n)|^2 of a flat surface, n = sqrt(eps)."""
    n = np.sqrt(np.asarray(eps_real) - 1j * np.asarray(eps_loss))
    return 1 - np.abs((1 - n) / (1 + n)) ** 2


def itu_p838_3(f_ghz):
    """k and alpha of ITU-R P.838-3 at nadir (elevation 90 degrees: the mean
    of the horizontal and vertical coefficients)."""
    lf = np.log10(np.asarray(f_ghz, dtype=float))

    def gaussians(a, b, c):
        return sum(aj * np.exp(-(((lf - bj) / cj) ** 2)) for aj, bj, cj in zip(a, b, c))

    kh = 10 ** (gaussians([-5.33980, -0.35351, -0.23789, -0.94158],
                          [-0.10008, 1.26970, 0.86036, 0.64552],
                          [1.13098, 0.45400, 0.15354, 0.16817]) - 0.18961 * lf + 0.71147)
    kv = 10 ** (gaussians([-3.80595, -3.44965, -0.39902, 0.50167],
                          [0.56934, -0.22911, 0.73042, 1.07319],
                          [0.81061, 0.51059, 0.11899, 0.27195]) - 0.16398 * lf + 0.63297)
    ah = gaussians([-0.14318, 0.29591, 0.32177, -5.37610, 16.1721],
                   [1.82442, 0.77564, 0.63773, -0.96230, -3.29980],
                   [-0.55187, 0.19822, 0.13164, 1.47828, 3.43990]) + 0.67849 * lf - 1.95537
    av = gaussians([-0.07771, 0.56727, -0.20238, -48.2991, 48.5833],
                   [2.33840, 0.95545, 1.14520, 0.791669, 0.791459],
                   [-0.76284, 0.54039, 0.26809, 0.116226, 0.116479]) - 0.053739 * lf + 0.83433
    k = (kh + kv) / 2
    return k, (kh * ah + kv * av) / (2 * k)


def itu_attenuation_per_m(f_ghz, rain_mmh):
    """ITU-R P.838-3 specific attenuation as a power attenuation coefficient
    (per metre), the unit of the model's kappa: dB/km times ln(10)/10/1000."""
    k, alpha = itu_p838_3(f_ghz)
    return k * np.asarray(rain_mmh, dtype=float) ** alpha * math.log(10) / 10 / 1000


# ---------------------------------------------------------------- figures

def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"font.size": 10, "axes.grid": True, "grid.alpha": 0.3})
    return plt


def channel_legend(figure, handles):
    """One legend for the whole figure, below the panels."""
    figure.legend(handles, LABELS, loc="lower center", ncol=6, frameon=False)


def model_tb(plt, out):
    wind = np.linspace(0, 150, 1501, dtype=np.float32)
    rain = np.linspace(0, 150, 1501, dtype=np.float32)
    tb_w = {r: nerido.brightness_temperatures(**SCENE, wind_ms=wind, rain_mmh=r) for r in (0, 20)}
    tb_r = {w: nerido.brightness_temperatures(**SCENE, wind_ms=w, rain_mmh=rain) for w in (0, 20)}
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.6), sharey=True)
    for k in range(6):
        lines = axes[0].plot(wind, tb_w[0][:, k], color=COLOURS[k])
        axes[0].plot(wind, tb_w[20][:, k], color=COLOURS[k], ls="--")
        axes[1].plot(rain, tb_r[0][:, k], color=COLOURS[k])
        axes[1].plot(rain, tb_r[20][:, k], color=COLOURS[k], ls="--")
        if k == 0:
            handles = []
        handles.append(lines[0])
    sst_k = SCENE["sst_c"] + 273.15
    for axis in axes:
        axis.axhline(sst_k, color="k", lw=0.8, ls=":")
    axes[0].text(3, sst_k + 3, "SST", fontsize=9)
    for w in (7, 37):
        axes[0].axvline(w, color="grey", lw=0.6)
    axes[0].axvspan(40, 150, color="grey", alpha=0.12)
    axes[0].text(95, 130, "no independent\nwind model", ha="center", fontsize=9)
    axes[0].set(xlabel="wind speed W (m/s)", ylabel="Tb (K)",
                title="against wind: rain 0 (solid), 20 mm/h (dashed)")
    axes[1].set(xlabel="rain rate R (mm/h)", title="against rain: wind 0 (solid), 20 m/s (dashed)")
    figure.suptitle(f"Nadir Tb of the six channels; {SCENE_TEXT}; joins of the wind law at 7 and 37 m/s")
    channel_legend(figure, handles)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(out / "model_tb.png", dpi=100)
    plt.close(figure)


def model_sensitivity(plt, out):
    step = np.float32(0.05)
    wind = np.arange(0.05, 150.0, 0.05, dtype=np.float32)
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.6), sharey=True)
    for axis, rain in zip(axes, (0, 20)):
        up = nerido.brightness_temperatures(**SCENE, wind_ms=wind + step / 2, rain_mmh=rain)
        down = nerido.brightness_temperatures(**SCENE, wind_ms=wind - step / 2, rain_mmh=rain)
        slope = (up.astype(float) - down) / float(step)
        handles = [axis.plot(wind, slope[:, k], color=COLOURS[k])[0] for k in range(6)]
        for w in (7, 37):
            axis.axvline(w, color="grey", lw=0.6)
        axis.set(xlabel="wind speed W (m/s)", title=f"rain {rain} mm/h")
    axes[0].set_ylabel("dTb/dW (K per m/s)")
    figure.suptitle(f"Sensitivity to wind (central differences over 0.05 m/s); {SCENE_TEXT}")
    channel_legend(figure, handles)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(out / "model_dtb_dw.png", dpi=100)
    plt.close(figure)


def model_emissivity(plt, probe, out):
    sst = np.linspace(-2, 45, 95)
    e = probe.emissivities(sst)
    figure, axis = plt.subplots(figsize=(9, 4.8))
    handles = [axis.plot(sst, e[:, k], color=COLOURS[k])[0] for k in range(6)]
    axis.set(xlabel="sea-surface temperature (°C)", ylabel="calm-sea emissivity e0 (dimensionless)",
             title="Calm-sea nadir emissivity, salinity 36 psu")
    channel_legend(figure, handles)
    figure.tight_layout(rect=(0, 0.08, 1, 1))
    figure.savefig(out / "model_emissivity.png", dpi=100)
    plt.close(figure)


# ------------------------------------------------------------ model error

def permittivity_error(probe):
    """Relative differences of the model's eps' and eps'' from Klein-Swift in
    double precision, and of SMRT's variant from it."""
    f = np.array(CHANNELS)[:, None, None]
    t = np.linspace(-2, 45, 48)[None, :, None]
    s = np.array([0.0, 0.05, 0.1, 5, 10, 20, 30, 36, 40])[None, None, :]
    f, t, s = np.broadcast_arrays(f, t, s)
    # And 20,000 random scenes across the model's window, -2 to 45 C, 0 to 40 psu.
    rng = np.random.default_rng(1977)
    f = np.concatenate([f.ravel(), rng.uniform(4, 8, 20000)])
    t = np.concatenate([t.ravel(), rng.uniform(-2, 45, 20000)])
    s = np.concatenate([s.ravel(), rng.uniform(0, 40, 20000)])
    f32, t32, s32 = (np.float32(v).astype(float) for v in (f, t, s))
    real, loss = probe.permittivity(f32, t32, s32)
    ref_real, ref_loss = klein_swift(f32, t32, s32)
    codata = 8.8541878128e-12
    variants = {
        "SMRT (2.0333e-2)": klein_swift(f32, t32, s32, conductivity_b0=2.0333e-2),
        "SMRT with CODATA eps0": klein_swift(f32, t32, s32, conductivity_b0=2.0333e-2,
                                             eps_vacuum=codata),
    }
    rows = [("nerido (single precision)", np.abs(real / ref_real - 1).max(),
             np.abs(loss / ref_loss - 1).max())]
    for name, (vr, vl) in variants.items():
        rows.append((name, np.abs(vr / ref_real - 1).max(), np.abs(vl / ref_loss - 1).max()))
    return rows


def permittivity_tb_error(plt, probe, out):
    """Nadir Tb with the Meissner-Wentz emissivity minus Tb with the model's,
    everything else the model's; calm sea, no rain."""
    sst = np.linspace(-2, 45, 95)
    e_model = probe.emissivities(sst)
    e_mw = nadir_emissivity(*meissner_wentz(np.array(CHANNELS)[None, :], sst[:, None], SALINITY))
    tb_model = probe.tb_with(e_model, sst, SCENE["altitude_m"], SCENE["air_c"])
    tb_mw = probe.tb_with(e_mw, sst, SCENE["altitude_m"], SCENE["air_c"])
    delta = tb_mw - tb_model
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.6))
    handles = [axes[0].plot(sst, delta[:, k], color=COLOURS[k])[0] for k in range(6)]
    axes[0].axvspan(34, 45, color="grey", alpha=0.15)
    axes[0].text(34.5, delta.min(), "MW\nextrapolated", fontsize=8, va="bottom")
    axes[0].axhline(0, color="k", lw=0.6)
    axes[0].set(xlabel="sea-surface temperature (°C)", ylabel="Tb(MW) − Tb(model) (K)",
                title="Calm-sea Tb: Meissner–Wentz 2012 minus Klein–Swift")
    axes[1].plot(sst, delta.max(axis=1) - delta.min(axis=1), color="k")
    axes[1].set(xlabel="sea-surface temperature (°C)", ylabel="spread over the channels (K)",
                title="Channel spread of the difference")
    figure.suptitle(f"Permittivity model error at nadir, salinity 36 psu; {SCENE_TEXT}, wind 0, no rain")
    channel_legend(figure, handles)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(out / "error_permittivity.png", dpi=100)
    plt.close(figure)
    picks = [-2, 0, 5, 10, 15, 20, 25, 30, 34, 35, 40, 45]
    return [(t, delta[np.argmin(abs(sst - t))]) for t in picks]


def rain_error(plt, probe, out):
    rain = np.geomspace(0.1, 150, 120)
    f = np.repeat(CHANNELS, rain.size)
    r = np.tile(rain, len(CHANNELS))
    kappa = probe.rain_attenuation(f, r).reshape(len(CHANNELS), rain.size)
    itu = itu_attenuation_per_m(f, r).reshape(len(CHANNELS), rain.size)
    ratio = kappa / itu
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.6))
    handles = []
    for k in range(6):
        handles.append(axes[0].loglog(rain, kappa[k] * 1e3, color=COLOURS[k])[0])
        axes[0].loglog(rain, itu[k] * 1e3, color=COLOURS[k], ls="--")
        axes[1].loglog(rain, ratio[k], color=COLOURS[k])
    axes[0].set(xlabel="rain rate R (mm/h)", ylabel="attenuation coefficient κ (per km)",
                title="model (solid) and ITU-R P.838-3 (dashed)")
    axes[1].axhline(1, color="k", lw=0.6)
    axes[1].set(xlabel="rain rate R (mm/h)", ylabel="κ(model) / κ(ITU-R P.838-3)",
                title="ratio")
    figure.suptitle("Rain attenuation coefficient (power, per km) at nadir")
    channel_legend(figure, handles)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(out / "error_rain.png", dpi=100)
    plt.close(figure)
    picks = [0.5, 1, 2, 5, 10, 20, 50, 100, 150]
    table = []
    for value in picks:
        i = np.argmin(abs(rain - value))
        table.append((value, ratio[0, i], ratio[-1, i]))
    # Frequency dependence: exponent of kappa ~ f^n across the channels.
    n_model = np.log(kappa[-1] / kappa[0]) / math.log(CHANNELS[-1] / CHANNELS[0])
    n_itu = np.log(itu[-1] / itu[0]) / math.log(CHANNELS[-1] / CHANNELS[0])
    slopes = [(value, n_model[np.argmin(abs(rain - value))], n_itu[np.argmin(abs(rain - value))])
              for value in (1, 10, 100)]
    return table, (ratio.min(), ratio.max()), slopes


def high_wind(probe):
    """Wind speed (m/s) from which each channel's surface emissivity (calm sea
    plus the wind increment) exceeds 1."""
    wind = np.arange(100.0, 150.0, 0.01, dtype=np.float32)
    rows = []
    for sst_c in (-2.0, 28.0, 45.0):
        e0 = probe.emissivities([sst_c])[0]
        found = []
        for k, f in enumerate(CHANNELS):
            e = probe.budget([(f, 300.0, 3000.0, 288.0, e0[k], w, 0.0) for w in wind])[:, 2]
            above = np.nonzero(e > 1)[0]
            found.append(float(wind[above[0]]) if above.size else float("nan"))
        rows.append((sst_c, found))
    return rows


def freezing_level(probe):
    """Tb with the rain-layer top of 272.15 K minus that of 273.15 K (192 m
    lower), aircraft above the rain top, for a few flights and rain rates;
    SST 28 degrees Celsius, wind 10 m/s."""
    lowering = 1.0 / 0.00522
    flights = [(3000.0, 263.15), (5000.0, 258.15), (6000.0, 253.15), (10000.0, 233.15)]
    e0 = probe.emissivities([28.0])[0]
    table = []
    for altitude, air_k in flights:
        for rain in (10.0, 50.0, 100.0, 150.0):
            rows = [(f, 301.15, altitude, air_k, e, 10.0, rain) for f, e in zip(CHANNELS, e0)]
            own = probe.budget(rows)
            top = own[0, 1]
            lowered = probe.budget([row + (top - lowering,) for row in rows])
            table.append((altitude, air_k, top, rain, (own[:, 0] - lowered[:, 0])))
    return lowering, table


def offset_to_retrieval():
    """Retrieved minus true wind and rain when every channel carries the same
    offset (K), noise-free: what a common model error does to a retrieval."""
    rows = []
    for wind in (3.0, 10.0, 20.0, 30.0, 50.0):
        for rain in (0.0, 5.0, 20.0):
            truth = nerido.brightness_temperatures(**SCENE, wind_ms=wind, rain_mmh=rain)
            found = []
            for offset in (-0.5, 0.5):
                r = nerido.retrieve(truth + np.float32(offset), **SCENE)
                found.append((float(r.wind_ms) - wind, float(r.rain_mmh) - rain,
                              nerido.RetrievalStatus(int(r.status)).name))
            rows.append((wind, rain, found))
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path, help="the CMake build folder (holds docs/nerido_model_probe)")
    parser.add_argument("--out", type=Path, default=HERE, help="folder for the pictures (default docs/)")
    args = parser.parse_args(argv)
    probe_path = args.build / "docs" / "nerido_model_probe"
    if not probe_path.is_file():
        parser.error(f"{probe_path} not found: cmake --build {args.build} --target nerido_model_probe")
    probe = Probe(probe_path)
    plt = pyplot()
    model_tb(plt, args.out)
    model_sensitivity(plt, args.out)
    model_emissivity(plt, probe, args.out)

    print("## permittivity: largest relative difference from Klein-Swift in double precision")
    print("| implementation | eps' | eps'' |\n|---|---|---|")
    for name, dr, dl in permittivity_error(probe):
        print(f"| {name} | {dr:.2g} | {dl:.2g} |")

    print("\n## Tb(Meissner-Wentz) - Tb(model), calm sea (K)")
    print("| SST (°C) | " + " | ".join(LABELS) + " | spread |")
    print("|---" * 8 + "|")
    for t, d in permittivity_tb_error(plt, probe, args.out):
        print(f"| {t:g} | " + " | ".join(f"{v:+.2f}" for v in d) + f" | {d.max() - d.min():.2f} |")

    table, (low, high), slopes = rain_error(plt, probe, args.out)
    print(f"\n## rain: kappa(model) / kappa(ITU-R P.838-3), range {low:.2f} to {high:.2f}")
    print("| R (mm/h) | 4.74 GHz | 7.09 GHz |\n|---|---|---|")
    for r, a, b in table:
        print(f"| {r:g} | {a:.2f} | {b:.2f} |")
    print("| R (mm/h) | model exponent n in f^n | ITU-R P.838-3 |\n|---|---|---|")
    for r, a, b in slopes:
        print(f"| {r:g} | {a:.2f} | {b:.2f} |")

    print("\n## wind speed (m/s) where the surface emissivity reaches 1")
    print("| SST (°C) | " + " | ".join(LABELS) + " |\n" + "|---" * 7 + "|")
    for sst_c, found in high_wind(probe):
        print(f"| {sst_c:g} | " + " | ".join(f"{w:.1f}" for w in found) + " |")

    lowering, table = freezing_level(probe)
    print(f"\n## freezing level: rain top lowered by {lowering:.1f} m; Tb(own) - Tb(lowered) (K)")
    print("| altitude (m) | air (K) | rain top (m) | R (mm/h) | " + " | ".join(LABELS) + " |")
    print("|---" * 10 + "|")
    for altitude, air_k, top, rain, d in table:
        print(f"| {altitude:g} | {air_k:g} | {top:.0f} | {rain:g} | "
              + " | ".join(f"{v:+.2f}" for v in d) + " |")

    print("\n## common offset of every channel: retrieved minus true (noise-free)")
    print("| W (m/s) | R (mm/h) | -0.5 K: dW (m/s) | dR (mm/h) | status | +0.5 K: dW (m/s) | dR (mm/h) | status |")
    print("|---" * 8 + "|")
    for wind, rain, found in offset_to_retrieval():
        cells = " | ".join(f"{dw:+.2f} | {dr:+.2f} | {st}" for dw, dr, st in found)
        print(f"| {wind:g} | {rain:g} | {cells} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
