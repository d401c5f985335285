"""Side-by-side timings of kavrel and its peers on the same tables.

Run through `make bench` (or `make bench-quick`): writes docs/benchmarks.md
and docs/benchmarks.png.  Every figure is the median of repeated runs after
a warm-up, measured in this one process, except the pool-size runs, which
need a fresh process each (the pool is sized once per process).
"""

import argparse
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd

import kavrel

ROOT = pathlib.Path(__file__).resolve().parent.parent
ALPHABET = list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") + ["é", "ø", "ß", "ж", "中"]


def distinct_strings(count, rng):
    lengths = rng.integers(5, 21, size=count)
    letters = rng.integers(0, len(ALPHABET), size=int(lengths.sum()))
    out, pos = set(), 0
    for n in lengths:
        out.add("".join(ALPHABET[i] for i in letters[pos:pos + n]))
        pos += n
    while len(out) < count:
        out.add("".join(ALPHABET[i] for i in rng.integers(0, len(ALPHABET), size=12)))
    return np.array(sorted(out), dtype=object)


def text_column(rows, distinct, rng):
    values = distinct_strings(distinct, rng)
    return values[rng.integers(0, distinct, size=rows)]


def wide_table(rows, rng):
    cards = [10, 1_000, min(100_000, rows), min(1_000_000, rows)]
    m = np.empty((rows, 8), dtype=object)
    for c, card in enumerate(cards):
        m[:, c] = text_column(rows, card, rng)
    for c in range(4, 8):
        m[:, c] = rng.standard_normal(rows).tolist()
    return m


def median_time(fn, repeat):
    fn()  # warm-up
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


# --- peers ---------------------------------------------------------------------

def pandas_factorize(frame):
    out = {}
    for name in frame.columns:
        col = frame[name]
        if col.dtype.kind == "f":
            out[name] = col.to_numpy(dtype=float)
            continue
        codes, _ = pd.factorize(col, sort=True)
        out[name] = np.where(codes < 0, np.nan, codes.astype(float))
    return out


def sklearn_encoder(text):
    from sklearn.preprocessing import OrdinalEncoder

    enc = OrdinalEncoder()
    codes = enc.fit_transform(text)
    return enc, codes


def pyarrow_encode(columns):
    import pyarrow as pa

    return pyarrow_encode_arrays([pa.array(col, type=pa.string()) for col in columns])


def pyarrow_native(columns):
    import pyarrow as pa

    arrays = [pa.array(col, type=pa.string()) for col in columns]
    return lambda: pyarrow_encode_arrays(arrays)


def pyarrow_encode_arrays(arrays):
    import pyarrow.compute as pc

    out = []
    for array in arrays:
        dictionary = array.dictionary_encode()
        order = pc.array_sort_indices(dictionary.dictionary)
        rank = np.empty(len(order), dtype=np.float64)
        rank[np.asarray(order)] = np.arange(len(order), dtype=np.float64)
        out.append(rank[dictionary.indices.to_numpy(zero_copy_only=False)])
    return out


# --- runs ----------------------------------------------------------------------

def pool_scaling(rows):
    """Encode of one long text column with pools of 1 and 2 threads."""
    code = (
        "import sys, time, numpy as np, kavrel\n"
        "sys.path.insert(0, %r)\n"
        "import bench\n"
        "rng = np.random.default_rng(1)\n"
        "col = bench.text_column(%d, 1000, rng).reshape(-1, 1)\n"
        "enc = kavrel.Encoder()\n"
        "print(bench.median_time(lambda: enc.encode(col), 3))\n"
    ) % (str(ROOT / "bench"), rows)
    out = {}
    for n in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(n))
        res = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        out[n] = float(res.stdout.strip().splitlines()[-1])
    return out


def encode_peak_memory(rows):
    """What one encode of the wide table adds to the peak resident memory,
    in a fresh process: the peak is reset once the table is built."""
    code = (
        "import sys, numpy as np, kavrel\n"
        "sys.path.insert(0, %r)\n"
        "import bench\n"
        "m = bench.wide_table(%d, np.random.default_rng(0))\n"
        "def status(field):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(field + ':'):\n"
        "            return int(line.split()[1])\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "before = status('VmRSS')\n"
        "kavrel.Encoder().encode(m)\n"
        "print(before, status('VmHWM'))\n"
    ) % (str(ROOT / "bench"), rows)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, peak = map(int, res.stdout.split()[-2:])
    return (peak - before) * 1024


def python_threads(tables, repeat):
    """n threads each encoding its own table; n threads decoding with one encoder."""
    results = {}
    shared = kavrel.Encoder()
    codes = shared.encode(tables[0])
    for n in (1, 2, 4):
        def run(target):
            barrier = threading.Barrier(n)

            def body(i):
                barrier.wait()
                target(i)

            threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        enc_time = median_time(lambda: run(lambda i: kavrel.Encoder().encode(tables[i])), repeat)
        dec_time = median_time(lambda: run(lambda i: shared.decode(codes)), repeat)
        results[n] = (enc_time, dec_time)
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small tables, one repetition")
    args = parser.parse_args()
    rows = 100_000 if args.quick else 1_000_000
    long_rows = 1_000_000 if args.quick else 10_000_000
    repeat = 1 if args.quick else 3
    rng = np.random.default_rng(0)

    print(f"building tables ({rows} x 8, {long_rows} x 1)...", flush=True)
    m = wide_table(rows, rng)
    frame = pd.DataFrame(m, columns=[f"c{i}" for i in range(8)])
    for i in range(4, 8):
        frame[f"c{i}"] = frame[f"c{i}"].astype(float)
    frame_object = frame.astype({f"c{i}": object for i in range(4)})
    frame_string = frame.astype({f"c{i}": "string" for i in range(4)})
    text = m[:, :4]
    long_col = text_column(long_rows, 1000, rng).reshape(-1, 1)

    enc = kavrel.Encoder()
    # Correctness cross-check: on the text columns the codes equal pandas' sorted factorize.
    ours = enc.encode(text)
    for c in range(4):
        codes, _ = pd.factorize(text[:, c], sort=True)
        assert np.array_equal(ours[:, c], codes.astype(float)), f"column {c} differs from pandas"

    rows_out = []  # (case, tool, seconds)

    def add(case, tool, fn):
        seconds = median_time(fn, repeat)
        rows_out.append((case, tool, seconds))
        print(f"{case:38s} {tool:42s} {seconds:8.3f} s", flush=True)

    case = f"encode {rows:,} x 8 object ndarray"
    add(case, "kavrel", lambda: enc.encode(m))
    add(case, "pandas factorize(sort=True) per column", lambda: pandas_factorize(pd.DataFrame(m)))
    add(case, "sklearn OrdinalEncoder.fit_transform (text)", lambda: sklearn_encoder(text))
    add(case, "pyarrow dictionary_encode + sorted remap", lambda: pyarrow_encode([text[:, c] for c in range(4)]))

    case = f"encode {rows:,} x 8 DataFrame (object)"
    add(case, "kavrel", lambda: enc.encode(frame_object))
    add(case, "pandas factorize(sort=True) per column", lambda: pandas_factorize(frame_object))

    case = f"encode {rows:,} x 8 DataFrame (string dtype)"
    add(case, "kavrel", lambda: enc.encode(frame_string))
    add(case, "pandas factorize(sort=True) per column", lambda: pandas_factorize(frame_string))

    case = f"encode {long_rows:,} x 1 text column"
    add(case, "kavrel", lambda: enc.encode(long_col))
    add(case, "pandas factorize(sort=True)", lambda: pd.factorize(long_col[:, 0], sort=True))
    add(case, "pyarrow from the object column", lambda: pyarrow_encode([long_col[:, 0]]))
    add(case, "pyarrow on its native string array", pyarrow_native([long_col[:, 0]]))

    case = f"decode {rows:,} x 8 ndarray"
    codes = enc.encode(m)
    add(case, "kavrel", lambda: enc.decode(codes))
    add(case, "numpy.array(m).astype(object)", lambda: np.array(codes).astype(object))
    sk, sk_codes = sklearn_encoder(text)
    add(case, "sklearn OrdinalEncoder.inverse_transform (text)", lambda: sk.inverse_transform(sk_codes))

    case = f"decode {rows:,} x 8 DataFrame"
    fcodes = enc.encode(frame_object)
    add(case, "kavrel", lambda: enc.decode(fcodes))

    case = f"decode {long_rows:,} x 1 text column"
    lcodes = enc.encode(long_col)
    add(case, "kavrel", lambda: enc.decode(lcodes))

    # The serial part: reading the Python objects, per cell.
    numeric = np.array(m[:, 4:], dtype=object)
    read_ns = median_time(lambda: enc.encode(numeric), repeat) / numeric.size * 1e9

    peak_bytes = encode_peak_memory(rows)
    pool = pool_scaling(long_rows)
    tables = [wide_table(rows // 4, np.random.default_rng(10 + i)) for i in range(4)]
    threads = python_threads(tables, repeat)

    write_report(rows_out, pool, threads, read_ns, peak_bytes, m, args)


def write_report(rows_out, pool, threads, read_ns, peak_bytes, m, args):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    import pyarrow
    import sklearn

    cases = list(dict.fromkeys(case for case, _, _ in rows_out))
    ours = {case: s for case, tool, s in rows_out if tool == "kavrel"}
    lines = [
        "# Benchmarks",
        "",
        f"Command: `make bench{'-quick' if args.quick else ''}` "
        f"(`scripts/py ft bench/bench.py{' --quick' if args.quick else ''}`). "
        "Medians of repeated runs after a warm-up, all in one process.",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}. "
        f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
        f"numpy {np.__version__}, pandas {pd.__version__}, scikit-learn {sklearn.__version__}, "
        f"pyarrow {pyarrow.__version__}. polars publishes no free-threaded build, so it is not measured here.",
        "",
        "| case | tool | seconds | peer ÷ kavrel |",
        "|---|---|---:|---:|",
    ]
    for case, tool, seconds in rows_out:
        ratio = "" if tool == "kavrel" or case not in ours else f"{seconds / ours[case]:.2f}"
        lines.append(f"| {case} | {tool} | {seconds:.3f} | {ratio} |")
    lines += [
        "",
        "## Scaling",
        "",
        f"Pool of 1 thread vs 2 (`RAYON_NUM_THREADS`), encode of the long text column: "
        f"{pool[1]:.3f} s vs {pool[2]:.3f} s, speed-up {pool[1] / pool[2]:.2f}.",
        "",
        "| Python threads | each encodes its own table (s) | all decode with one encoder (s) |",
        "|---:|---:|---:|",
    ]
    for n, (e, d) in threads.items():
        lines.append(f"| {n} | {e:.3f} | {d:.3f} |")
    out_bytes = m.shape[0] * m.shape[1] * 8
    lines += [
        "",
        f"Serial part (reading the Python objects of numeric object cells): {read_ns:.1f} ns per cell.",
        "",
        f"Peak memory of one encode of the {m.shape[0]:,} x {m.shape[1]} object ndarray, above the table "
        f"itself (fresh process): {peak_bytes / 2**20:.0f} MiB, for an output of {out_bytes / 2**20:.0f} MiB.",
        "",
        "![chart](benchmarks.png)",
        "",
    ]
    (ROOT / "docs").mkdir(exist_ok=True)
    (ROOT / "docs" / "benchmarks.md").write_text("\n".join(lines))

    fig, ax = plt.subplots(figsize=(10, 0.45 * len(rows_out) + 1))
    labels = [f"{case} — {tool}" for case, tool, _ in rows_out]
    colors = ["tab:green" if tool == "kavrel" else "tab:gray" for _, tool, _ in rows_out]
    ax.barh(range(len(rows_out)), [s for _, _, s in rows_out], color=colors)
    ax.set_yticks(range(len(rows_out)), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())  # decades only: no crowded labels
    ax.set_xlabel("seconds (log scale, lower is better)")
    fig.tight_layout()
    fig.savefig(ROOT / "docs" / "benchmarks.png", dpi=110, bbox_inches="tight")
    print("wrote docs/benchmarks.md and docs/benchmarks.png")


if __name__ == "__main__":
    main()
