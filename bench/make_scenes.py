"""Writes a CSV file of random scenes for the file-to-file benchmarks, with the
anchor's value ranges (numpy_forward.py), two decimals each:
    /usr/bin/python3 make_scenes.py ROWS random|flight|typical FILE
'flight' keeps the sea-surface temperature constant over runs of 100 rows,
as it changes slowly along a flight; the other four values vary every row.
'typical' draws the wind from 5 to 60 m/s and the rain from 0 to 50 mm/h,
the scenes of the retrieval's speed target."""
import sys
import numpy as np

RUN_ROWS = 100  # rows of one SST in a flight-like file


def scenes(n, kind, rng):
    sst = rng.uniform(-2, 45, n)
    if kind == 'flight':
        sst = np.repeat(rng.uniform(-2, 45, (n + RUN_ROWS - 1) // RUN_ROWS), RUN_ROWS)[:n]
    altitude, air = rng.uniform(100, 16000, n), rng.uniform(-70, 45, n)
    wind, rain = ((rng.uniform(5, 60, n), rng.uniform(0, 50, n)) if kind == 'typical' else
                  (rng.uniform(0, 80, n), rng.uniform(0, 100, n)))
    return np.column_stack([np.arange(n), sst, altitude, air, wind, rain])


def main():
    n, kind, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    if kind not in ('random', 'flight', 'typical'):
        sys.exit('kind must be random, flight or typical')
    table = scenes(n, kind, np.random.default_rng(1))
    np.savetxt(path, table, fmt=['%d', '%.2f', '%.2f', '%.2f', '%.2f', '%.2f'], delimiter=',',
               header='time,sst_c,altitude_m,air_c,wind_ms,rain_mmh', comments='')


if __name__ == '__main__':
    main()
