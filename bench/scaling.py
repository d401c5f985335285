"""How much of a call the calling thread does alone, and what a second core
gives, for the tables whose cells are Python objects.

For each table and call (encode, transform): the serial share, the calling
thread's own CPU time (`time.thread_time()`) over the wall time of the same
call, in a process pinned to one CPU with RAYON_NUM_THREADS=1; and the
speed-up from that process to one on two CPUs with the default pool.  By
Amdahl's law a serial share s bounds the speed-up on any number of cores by
1/s.  Each process builds the tables afresh and times each call a few
times, keeping the fastest.

    scripts/py ft bench/scaling.py [--rows N]   # both processes, a table
    bench.py runs it for `make bench`.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import pandas as pd

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench  # noqa: E402 - the tables live there

LOW_LABELS = [10, 1_000, 50_000]


def low_cardinality(rows, rng):
    """3 text columns of 10, 1,000 and 50,000 labels (the cells of a column
    share its labels' str objects), then 3 float columns."""
    m = np.empty((rows, 6), dtype=object)
    for c, labels in enumerate(LOW_LABELS):
        m[:, c] = bench.text_column(rows, min(labels, rows), rng, shortest=3, longest=12, alphabet=bench.ASCII)
    for c in range(3, 6):
        m[:, c] = rng.standard_normal(rows).tolist()
    return m


def own_strs(m):
    """The same cells with one str object per text cell ("own strs"), as a
    csv or json parser, or pandas 3's to_numpy(dtype=object), makes them."""
    out = m.copy()
    for c in range(m.shape[1]):
        if isinstance(m[0, c], str):
            out[:, c] = [(s + ".")[:-1] for s in m[:, c]]
    return out


def tables(rows):
    rng = np.random.default_rng(0)
    low = low_cardinality(rows, rng)
    low_own = own_strs(low)
    wide = bench.wide_table(rows, rng)
    return {
        "object ndarray, 3 text + 3 float": low,
        "object ndarray, 3 text + 3 float, own strs": low_own,
        "object frame, 3 text + 3 float": bench.frame_of(low),
        "object frame, 3 text + 3 float, own strs": bench.frame_of(low_own),
        "object ndarray, 4 text (1M ids) + 4 float": wide,
        "object ndarray, 4 text (1M ids) + 4 float, own strs": own_strs(wide),
        "str frame (pandas 3's default), 3 text + 3 float": bench.frame_of(low, bench.ARROW_STR),
    }


def measure(rows, repeat):
    """{table: {call: [wall seconds, calling thread's CPU seconds, the
    process's CPU seconds]}}, the fastest of `repeat` calls."""
    import kavrel

    out = {}
    for name, table in tables(rows).items():
        enc = kavrel.Encoder()
        calls = {"encode": lambda: enc.encode(table), "transform": lambda: enc.transform(table)}
        out[name] = {}
        for call, fn in calls.items():
            best = None
            for _ in range(repeat):
                wall, cpu, process = time.perf_counter(), time.thread_time(), time.process_time()
                fn()
                cpu, process = time.thread_time() - cpu, time.process_time() - process
                wall = time.perf_counter() - wall
                if best is None or wall < best[0]:
                    best = [wall, cpu, process]
            out[name][call] = best
    return out


def child(rows, repeat, one_cpu):
    """The figures of a fresh process: pinned to one CPU with one pool
    thread, or on two CPUs with the default pool."""
    env = dict(os.environ)
    prefix = []
    if one_cpu:
        env["RAYON_NUM_THREADS"] = "1"
        prefix = ["taskset", "-c", "0"]
    else:
        env.pop("RAYON_NUM_THREADS", None)
    code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import json, scaling; " \
           f"print(json.dumps(scaling.measure({rows}, {repeat})))"
    res = subprocess.run([*prefix, sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def scaling(rows, repeat=3):
    """{table: {call: {serial_share, cpu_share, speedup, one_cpu, two_cpus}}}:
    cpu_share is the calling thread's part of the pinned process's CPU time,
    which other work on the machine does not inflate as it does the wall
    time (on an idle machine the two shares agree)."""
    one, two = child(rows, repeat, True), child(rows, repeat, False)
    out = {}
    for name in one:
        out[name] = {}
        for call in one[name]:
            (wall1, cpu1, process1), (wall2, _, _) = one[name][call], two[name][call]
            out[name][call] = dict(serial_share=cpu1 / wall1, cpu_share=cpu1 / process1, speedup=wall1 / wall2,
                                   one_cpu=wall1, two_cpus=wall2)
    return out


def show(result):
    print("serial share (of the call's CPU time), speed-up from 1 to 2 cores, seconds on 1 core")
    print(f"{'':52s} {'encode':>28s} {'transform':>28s}")
    for name, calls in result.items():
        cells = [f"{c['serial_share']:.2f} ({c['cpu_share']:.2f}) {c['speedup']:.2f}x {c['one_cpu']:.3f}"
                 for c in calls.values()]
        print(f"{name:52s} {cells[0]:>28s} {cells[1]:>28s}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"load {os.getloadavg()[0]:.1f}, pandas {pd.__version__}, GIL {'on' if sys._is_gil_enabled() else 'off'}")
    show(scaling(args.rows, args.repeat))
    print(f"load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
