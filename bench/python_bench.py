#!/usr/bin/env python3
"""Speed of the Python package against the C++ benchmarks, in one run.

    build-python/venv/bin/python bench/python_bench.py [--build build] [--rounds 5]

Needs the package installed (python/run_tests.sh leaves it in
build-python/venv) and a Release build of the C++ benchmarks. Each round
runs the C++ benchmark, then the Python call, so both see the same load on
a shared machine; the ratios are of the medians over the rounds.

  forward    scenes/s of nerido.brightness_temperatures on --size elements
             (one call, arrays in memory, every SST different) against
             bench/model_bench six_channel_computation
  retrieval  retrievals/s of nerido.retrieve against the C++ retrieval
             benchmark (when the build has one)
  threads    nerido.brightness_temperatures on --size random scenes and
             nerido.retrieve on --retrieval-size typical observations with
             threads=2 against threads=1, alternating (the load from
             os.getloadavg before and after)
  dask Tb    scenes/s of the storm example's six Tb fields on a LocalCluster
             of 2 workers against 1 (one thread each)
  dask all   the same for the whole example: Tb, noise, retrieval, statistics
"""

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import nerido

REPOSITORY = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPOSITORY / "examples"))

RANGES = {"sst_c": (-2, 45), "altitude_m": (100, 16000), "air_c": (-70, 45),
          "wind_ms": (0, 150), "rain_mmh": (0, 150)}


def cpp_rate(binary, benchmark):
    """Calls per second of one Google Benchmark, from its real time."""
    run = subprocess.run(
        [str(binary), f"--benchmark_filter=^{benchmark}$", "--benchmark_format=json",
         "--benchmark_min_time=0.5"],
        capture_output=True, text=True, check=True)
    result = json.loads(run.stdout)["benchmarks"][0]
    seconds = result["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[result["time_unit"]]
    return 1.0 / seconds


def timed_rate(count, call):
    start = time.perf_counter()
    call()
    return count / (time.perf_counter() - start)


def scenes(size, seed):
    rng = np.random.default_rng(seed)
    return {name: rng.uniform(low, high, size).astype(np.float32) for name, (low, high) in RANGES.items()}


def report(name, python_rates, cpp_rates, unit):
    py, cpp = statistics.median(python_rates), statistics.median(cpp_rates)
    print(f"{name:10s} python {py:12,.0f} {unit}/s   C++ {cpp:12,.0f} {unit}/s   ratio {py / cpp:.2f}")


def forward(args):
    inputs = scenes(args.size, 1)
    python_rates, cpp_rates = [], []
    for _ in range(args.rounds):
        cpp_rates.append(cpp_rate(args.build / "bench/model_bench", "six_channel_computation"))
        python_rates.append(timed_rate(args.size, lambda: nerido.brightness_temperatures(**inputs)))
    report("forward", python_rates, cpp_rates, "scenes")
    constant = {**inputs, "sst_c": np.float32(28)}
    rate = statistics.median(
        timed_rate(args.size, lambda: nerido.brightness_temperatures(**constant)) for _ in range(3))
    print(f"{'':10s} python {rate:12,.0f} scenes/s with one SST for all (emissivities reused)")


def typical_observations(size):
    """The typical scenes of the C++ retrieval benchmark: wind 5 to 60 m/s,
    rain 0 to 50 mm/h, SST 0 to 30 C, altitude 300 to 8000 m, the air 1 C
    below the sea and 6.5 K colder a kilometre, 0.5 K noise on all six
    channels: (tb, (sst, altitude, air))."""
    rng = np.random.default_rng(2)
    sst = rng.uniform(0, 30, size).astype(np.float32)
    altitude = rng.uniform(300, 8000, size).astype(np.float32)
    air = (sst - 1.0 - 0.0065 * altitude).astype(np.float32)
    tb = nerido.brightness_temperatures(sst, altitude, air, rng.uniform(5, 60, size),
                                        rng.uniform(0, 50, size))
    tb = (tb + rng.normal(0, 0.5, tb.shape)).astype(np.float32)
    return tb, (sst, altitude, air)


def retrieval(args):
    binary = args.build / "bench/retrieval_bench"
    if not nerido._core.has_retrieval or not binary.exists():
        print("retrieval  skipped: the package or the build has no retrieval yet")
        return
    tb, observed = typical_observations(args.retrieval_size)
    python_rates, cpp_rates = [], []
    for _ in range(args.rounds):
        cpp_rates.append(cpp_rate(binary, args.retrieval_benchmark))
        python_rates.append(timed_rate(args.retrieval_size, lambda: nerido.retrieve(tb, *observed)))
    report("retrieval", python_rates, cpp_rates, "retrievals")


def threads(args):
    """threads=2 against threads=1 inside one call, alternating."""
    import os

    load = os.getloadavg()
    inputs = scenes(args.size, 1)
    calls = {"forward": (args.size, lambda t: nerido.brightness_temperatures(**inputs, threads=t))}
    if nerido._core.has_retrieval:
        tb, observed = typical_observations(args.retrieval_size)
        calls["retrieval"] = (args.retrieval_size, lambda t: nerido.retrieve(tb, *observed, threads=t))
    for name, (count, call) in calls.items():
        rates = {1: [], 2: []}
        for _ in range(args.rounds):
            for t in rates:
                rates[t].append(timed_rate(count, lambda: call(t)))
        one, two = statistics.median(rates[1]), statistics.median(rates[2])
        print(f"{name:10s} threads=2 {two:12,.0f}/s   threads=1 {one:12,.0f}/s   ratio {two / one:.2f}")
    after = os.getloadavg()
    print(f"{'':10s} load average before {load[0]:.2f} {load[1]:.2f}, after {after[0]:.2f} {after[1]:.2f}")


def dask_workers(args):
    from contextlib import ExitStack

    from dask.distributed import Client, LocalCluster

    import storm_field

    with ExitStack() as stack:
        # Both clusters live through all rounds (threads in this process; the
        # idle one costs nothing), so the rounds alternate between them.
        clients = {}
        for workers in (1, 2):
            cluster = stack.enter_context(LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=False, dashboard_address=":0"))
            clients[workers] = stack.enter_context(Client(cluster, set_as_default=False))
        ds = storm_field.storm(args.dask_n, args.dask_n // 4)
        tb = storm_field.brightness_fields(ds)
        dask_rates(args, clients, "dask Tb", ds, tb.sum())
        if nerido._core.has_retrieval:
            n = args.dask_n // 2
            ds = storm_field.storm(n, n // 4)
            noisy = storm_field.with_noise(storm_field.brightness_fields(ds), 0.5, 1)
            retrieved = storm_field.retrieval_fields(noisy, ds, 0.5)
            dask_rates(args, clients, "dask all", ds, storm_field.error_statistics(retrieved, ds))


def dask_rates(args, clients, name, ds, work):
    """Scenes/s of computing `work` over the storm `ds` on each cluster."""
    import dask

    rates = {workers: [] for workers in clients}
    for _ in range(args.rounds):
        for workers, client in clients.items():
            rates[workers].append(timed_rate(ds.sst_c.size, lambda: dask.compute(work, scheduler=client)))
    one, two = statistics.median(rates[1]), statistics.median(rates[2])
    n, chunks = ds.sizes["x"], ds.sst_c.data.npartitions
    print(f"{name:10s} 2 workers {two:12,.0f} scenes/s   1 worker {one:12,.0f} scenes/s   "
          f"ratio {two / one:.2f}   ({n} x {n} storm, {chunks} chunks)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=REPOSITORY / "build",
                        help="C++ Release build folder (default build)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=10**6, help="forward elements per call")
    parser.add_argument("--retrieval-size", type=int, default=10**4)
    parser.add_argument("--retrieval-benchmark", default="retrieval",
                        help="name of the C++ retrieval benchmark in bench/retrieval_bench")
    parser.add_argument("--dask-n", type=int, default=1000, help="storm grid side")
    sections = {"forward": forward, "retrieval": retrieval, "threads": threads, "dask": dask_workers}
    parser.add_argument("--only", choices=sections, action="append",
                        help="run only this part (repeatable; default all)")
    args = parser.parse_args()
    print(f"nerido {nerido.__version__}, medians of {args.rounds} rounds")
    for name in args.only or sections:
        sections[name](args)


if __name__ == "__main__":
    main()
