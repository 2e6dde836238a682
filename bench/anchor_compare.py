"""nerido-batch beside the numpy and numba anchors, in one run: the numpy
anchor's scenes per second in memory, the numba anchor's on one thread, the
scene API's in memory on one thread (wall time, as the anchors), and nerido-batch
forward file to file (1,000,000 rows of random and of flight-like scenes) on
one thread and on the default threads, with its peak memory; nerido-batch
retrieve file to file on typical scenes (their Tb with 0.5 K of noise) on
one thread and on the default threads; then the model against its floor and
where a row's time goes. Each measurement is repeated, alternating, and the
medians are reported; every ratio is taken between measurements of the same
round, except file to file against the numpy anchor's fastest round (its
rate swings with the kernel's page-fault time). The load average is printed
with each round: other processes on the machine lower every figure.

    /usr/bin/python3 bench/anchor_compare.py build [--rows 1000000] [--retrievals 50000]
                                                   [--repeats 5] [--skip-retrieve]

With --package PYTHON (an interpreter that imports the nerido package, e.g.
the build's python/venv/bin/python that python/run_tests.sh leaves), the
Python package's brightness_temperatures on --rows random scenes, one
thread, joins each round: on the path NERIDO_SIMD picks by default (the
widest vector path) and forced to the scalar path, with its ratio to numba.

Needs Debian's python3 with python3-numpy and python3-numba, and /usr/bin/time."""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The anchors live beside the repository: ../shared/anchors/numpy_forward.py
# and numba_forward.py (the numba one on one thread).
ANCHORS = HERE.parent.parent / 'shared' / 'anchors'
ANCHOR = ANCHORS / 'numpy_forward.py'
NUMBA = ANCHORS / 'numba_forward.py'
PYTHON = '/usr/bin/python3'

# Targets: (what, measured key, reference key, least ratio)
TARGETS = [
    ('in memory, one thread, random scenes / anchor', 'memory', 'anchor', 2.0),
    ('in memory, one thread, random scenes / numba, one thread', 'memory', 'numba', 1.0),
    ('file to file, default threads, random / anchor', 'random_default', 'anchor', 1.5),
    ('file to file, default threads, flight-like / anchor', 'flight_default', 'anchor', 2.5),
    ('file to file, random: default threads / one thread', 'random_default', 'random_1', 1.6),
    ('file to file, flight-like: default threads / one thread', 'flight_default', 'flight_1', 1.6),
    ('retrieve file to file: default threads / one thread', 'retrieve_default', 'retrieve_1', 1.6),
]
# Against the reference's fastest round: (what, measured key, reference key, least ratio)
FASTEST_TARGETS = [
    ('file to file, default threads, random / anchor\'s fastest', 'random_default', 'anchor', 1.5),
]
# The floor of model_bench: the elementary-function values a scene needs.
NEEDED_CALLS = 58


def anchor_rate(anchor, rows):
    """Scenes per second of an anchor script (numpy, or numba on one thread)."""
    out = subprocess.run([PYTHON, str(anchor), str(rows)], check=True, capture_output=True,
                         text=True).stdout
    return float(re.search(r'([\d,]+) scenes/s', out).group(1).replace(',', ''))


# The package's call on random scenes across the fields' ranges, timed as
# the anchors time theirs (one call, arrays made beforehand).
PACKAGE_RATE = """
import sys, time
import numpy as np
import nerido
from nerido import _core
n = int(sys.argv[1])
rng = np.random.default_rng(1)
ranges = [(-2, 45), (1, 16000), (-70, 45), (0, 150), (0, 150)]
fields = [rng.uniform(low, high, n).astype(np.float32) for low, high in ranges]
nerido.brightness_temperatures(*[f[:1000] for f in fields], threads=1)
start = time.perf_counter()
nerido.brightness_temperatures(*fields, threads=1)
print(_core.simd_path(), n / (time.perf_counter() - start))
"""


def package_rate(python, rows, path=None):
    """Scenes per second of the Python package on one thread, and its path."""
    env = dict(os.environ)
    env.pop('NERIDO_SIMD', None)
    if path is not None:
        env['NERIDO_SIMD'] = path
    out = subprocess.run([str(python), '-c', PACKAGE_RATE, str(rows)], check=True,
                         capture_output=True, text=True, env=env).stdout.split()
    return out[0], float(out[1])


def bench_json(program, *args):
    out = subprocess.run([program, '--benchmark_format=json', *args], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)['benchmarks']


def memory_rate(build):
    """Scenes per second of the scene API's loop in wall time, as the anchors
    measure theirs (Google Benchmark's items_per_second counts CPU time)."""
    runs = bench_json(build / 'bench' / 'batch_bench', '--benchmark_filter=scene_api_in_memory',
                      '--benchmark_min_time=1')
    return runs[0]['items_per_second'] * runs[0]['cpu_time'] / runs[0]['real_time']


def file_to_file(build, source, rows, output, threads, subcommand='forward'):
    """Rows per second, peak memory (KiB) and cores used (CPU time over wall
    time: below 2 on two threads when another process holds a core) of one run."""
    command = ['/usr/bin/time', '-f', '%M %U %S', str(build / 'nerido-batch'), subcommand,
               str(source), '-o', str(output), '-q']
    if threads is not None:
        command += ['--threads', str(threads)]
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f'nerido-batch failed: {done.stderr}')
    kib, user, system = done.stderr.strip().splitlines()[-1].split()
    return rows / seconds, int(kib), (float(user) + float(system)) / seconds


def retrieval_input(build, scratch, rows, make_scenes, np):
    """Typical scenes through forward, their Tb with 0.5 K of Gaussian noise."""
    scenes = scratch / 'typical.csv'
    table = make_scenes.scenes(rows, 'typical', np.random.default_rng(2))
    np.savetxt(scenes, table, fmt=['%d'] + ['%.2f'] * 5, delimiter=',',
               header='time,sst_c,altitude_m,air_c,wind_ms,rain_mmh', comments='')
    forward = scratch / 'typical_tb.csv'
    subprocess.run([str(build / 'nerido-batch'), 'forward', str(scenes), '-o', str(forward), '-q'],
                   check=True)
    with open(forward) as f:
        header = f.readline().strip()
    data = np.loadtxt(forward, delimiter=',', skiprows=1)
    data[:, 6:12] += np.random.default_rng(3).normal(0, 0.5, (rows, 6))
    path = scratch / 'measured.csv'
    np.savetxt(path, data, fmt=['%d'] + ['%.2f'] * 5 + ['%.3f'] * 6, delimiter=',',
               header=header, comments='')
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('build', type=Path)
    parser.add_argument('--rows', type=int, default=1_000_000)
    parser.add_argument('--retrievals', type=int, default=50_000)
    parser.add_argument('--repeats', type=int, default=5)
    parser.add_argument('--anchor', type=Path, default=ANCHOR)
    parser.add_argument('--numba', type=Path, default=NUMBA)
    parser.add_argument('--skip-retrieve', action='store_true',
                        help='leave out nerido-batch retrieve')
    parser.add_argument('--package', type=Path,
                        help='an interpreter that imports nerido: time its brightness_temperatures')
    parser.add_argument('--package-only', action='store_true',
                        help='only the anchors and the package (no nerido-batch, no benchmarks)')
    options = parser.parse_args()
    build = options.build.resolve()
    sys.path.insert(0, str(HERE))
    import make_scenes
    import numpy as np

    with tempfile.TemporaryDirectory(prefix='nerido-anchor-') as scratch:
        scratch = Path(scratch)
        files = {}
        for kind in (() if options.package_only else ('random', 'flight')):
            files[kind] = scratch / f'{kind}.csv'
            table = make_scenes.scenes(options.rows, kind, np.random.default_rng(1))
            np.savetxt(files[kind], table, fmt=['%d'] + ['%.2f'] * 5, delimiter=',',
                       header='time,sst_c,altitude_m,air_c,wind_ms,rain_mmh', comments='')
        if not (options.skip_retrieve or options.package_only):
            files['retrieve'] = retrieval_input(build, scratch, options.retrievals, make_scenes,
                                                np)
        targets = [t for t in TARGETS if not (options.skip_retrieve and 'retrieve' in t[1])]
        if options.package_only:
            targets = []
        if options.package:
            targets += [('package, one thread, random scenes / numba, one thread', 'package',
                         'numba', 3.0),
                        ('package: vector path / scalar path', 'package', 'package_scalar', 1.5)]
        rates = {}
        ratios = {name: [] for name, *_ in targets}
        peak = {}
        cores = {}
        for round_number in range(options.repeats):
            load = os.getloadavg()[0]
            now = {'anchor': anchor_rate(options.anchor, options.rows),
                   'numba': anchor_rate(options.numba, options.rows)}
            if options.package:
                path, now['package'] = package_rate(options.package, options.rows)
                _, now['package_scalar'] = package_rate(options.package, options.rows, 'scalar')
                print(f'  the package ran on the {path} path', flush=True)
            if options.package_only:
                for key, value in now.items():
                    rates.setdefault(key, []).append(value)
                for name, measured, reference, _ in targets:
                    ratios[name].append(now[measured] / now[reference])
                print(f'round {round_number + 1} (load average {load:.2f} when it began): ' +
                      ', '.join(f'{k} {v:,.0f}/s' for k, v in now.items()), flush=True)
                continue
            now['memory'] = memory_rate(build)
            for kind in ('random', 'flight'):
                for threads in (1, None):
                    key = f'{kind}_{threads or "default"}'
                    now[key], kib, cores[key] = file_to_file(build, files[kind], options.rows,
                                                             scratch / 'out.csv', threads)
                    peak[key] = max(peak.get(key, 0), kib)
            for threads in (() if options.skip_retrieve else (1, None)):
                key = f'retrieve_{threads or "default"}'
                now[key], kib, cores[key] = file_to_file(build, files['retrieve'],
                                                         options.retrievals, scratch / 'out.csv',
                                                         threads, 'retrieve')
                peak[key] = max(peak.get(key, 0), kib)
            for key, value in now.items():
                rates.setdefault(key, []).append(value)
            for name, measured, reference, _ in targets:
                ratios[name].append(now[measured] / now[reference])
            print(f'round {round_number + 1} (load average {load:.2f} when it began): ' +
                  ', '.join(f'{k} {v:,.0f}/s' for k, v in now.items()) + '; cores used on the '
                  'default threads: ' + ', '.join(f'{k} {v:.2f}' for k, v in cores.items()
                                                  if k.endswith('default')), flush=True)

    print(f'\nmedians of {options.repeats} rounds, {options.rows:,} rows, '
          f'default threads = {os.cpu_count()}')
    for key, values in rates.items():
        extra = f'   peak memory {peak[key] / 1024:.1f} MiB' if key in peak else ''
        print(f'  {key:16} {statistics.median(values):>12,.0f} rows/s{extra}')
    print()
    for name, _, _, least in targets:
        ratio = statistics.median(ratios[name])
        print(f'  {name:58} {ratio:5.2f} x  (target {least} x: '
              f'{"met" if ratio >= least else "NOT MET"})')
    if options.package_only:
        print(f'  load average at the end: {os.getloadavg()[0]:.2f}')
        return
    for name, measured, reference, least in FASTEST_TARGETS:
        ratio = statistics.median(rates[measured]) / max(rates[reference])
        print(f'  {name:58} {ratio:5.2f} x  (target {least} x: '
              f'{"met" if ratio >= least else "NOT MET"}; median against the fastest round)')

    model = {b['name']: b['real_time'] for b in bench_json(
        build / 'bench' / 'model_bench', '--benchmark_repetitions=5',
        '--benchmark_report_aggregates_only') if b['name'].endswith('_median')}
    scene, floor = model['one_scene_median'], model['needed_calls_floor_median']
    print(f'\n  one scene {scene:.0f} ns, floor of the {NEEDED_CALLS} function values it needs '
          f'{floor:.0f} ns: {scene / floor:.2f} x; its own calls (sin and cos through one '
          f'sincos) {model["scene_calls_floor_median"]:.0f} ns')

    print('\n  a row\'s time, one thread (ns): parse, compute, format, whole row')
    stages = {b['name']: b['real_time'] / 4096 for b in bench_json(
        build / 'bench' / 'batch_bench', '--benchmark_filter=row_',
        '--benchmark_repetitions=3', '--benchmark_report_aggregates_only')
        if b['name'].endswith('_median')}
    for flight, label in ((0, 'random'), (1, 'flight-like')):
        parts = [stages[f'row_{s}/flight:{flight}_median'] for s in
                 ('parse', 'compute', 'format', 'whole')]
        print(f'    {label:12} ' + '  '.join(f'{p:6.0f}' for p in parts))


if __name__ == '__main__':
    main()
