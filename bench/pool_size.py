"""What the pool's requested size costs a small call, and the process's exit.

    scripts/py ft bench/pool_size.py [--repeat N] [--settings 64,1000,...]

For each RAYON_NUM_THREADS setting a fresh interpreter makes the pool and
encodes a 5,000 x 2 object table (a text and a float column) N times after
a warm-up.  Each line gives the pool's threads, the median and the least
wall time of a call, and how long the interpreter took to exit after its
last call.  The pool starts at most a few threads per processor, so a
setting far above the machine costs what the cap costs.
"""

import argparse
import os
import subprocess
import sys
import time

CHILD = """
import os, statistics, sys, time
import numpy as np
import kavrel

def threads():
    return len(os.listdir("/proc/self/task"))

before = threads()
table = np.array([[f"s{i % 500}", float(i)] for i in range(5000)], dtype=object)
encoder = kavrel.Encoder()
for _ in range(20):
    encoder.encode(table)
times = []
for _ in range(int(sys.argv[1])):
    start = time.perf_counter()
    encoder.encode(table)
    times.append(time.perf_counter() - start)
print(threads() - before, statistics.median(times), min(times), flush=True)
"""


def run(setting, repeat):
    env = dict(os.environ, RAYON_NUM_THREADS=setting)
    command = [sys.executable, "-c", CHILD, str(repeat)]
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    printed = time.perf_counter()
    proc.wait()
    exited = time.perf_counter() - printed
    if proc.returncode != 0 or not line:
        raise SystemExit(f"RAYON_NUM_THREADS={setting}: the child failed ({proc.returncode})")
    pool, median, least = line.split()
    return int(pool), float(median), float(least), exited


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=200)
    parser.add_argument("--settings", default="2,8,64,1000,100000")
    args = parser.parse_args()
    processors = len(os.sched_getaffinity(0))
    print(f"{sys.version.split()[0]}, {processors} processors, {args.repeat} calls per setting")
    print(f"{'RAYON_NUM_THREADS':>17} {'threads':>7} {'median ms':>9} {'least ms':>8} {'exit ms':>7}")
    for setting in args.settings.split(","):
        pool, median, least, exited = run(setting, args.repeat)
        print(f"{setting:>17} {pool:>7} {median * 1e3:>9.3f} {least * 1e3:>8.3f} {exited * 1e3:>7.1f}")


if __name__ == "__main__":
    main()
