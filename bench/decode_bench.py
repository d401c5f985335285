"""decode of a 1,000,000 x 8 table against what numpy and a per-column
lookup take for the same result.

    scripts/py ft bench/decode_bench.py [--rows N] [--repeat N]

The table: 4 text columns drawn from 10, 1,000, 100,000 and 1,000,000
distinct strings of 3 to 12 bytes (so the widest holds about 630,000 of
them at a million rows), then 4 float columns.  Each line gives the median
wall time and the least CPU time of the repeats, after a warm-up; for the
whole table, kavrel's decode and scikit-learn's inverse_transform are also
timed in two parts, making the result and freeing it.
"""

import argparse
import gc
import statistics
import time

import numpy as np
import pandas as pd

import kavrel

LETTERS = np.array(list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), dtype=object)


def distinct_strings(count, rng):
    out = set()
    while len(out) < count:
        for n in rng.integers(3, 13, size=count - len(out)):
            text = "".join(LETTERS[rng.integers(0, len(LETTERS), size=n)])
            if text not in ("nan", "NaN"):  # the markers get no code
                out.add(text)
    return np.array(sorted(out), dtype=object)


def table(rows, rng):
    m = np.empty((rows, 8), dtype=object)
    for c, distinct in enumerate([10, 1_000, 100_000, 1_000_000]):
        values = distinct_strings(min(distinct, rows), rng)
        m[:, c] = values[rng.integers(0, len(values), size=rows)]
    for c in range(4, 8):
        m[:, c] = rng.standard_normal(rows).tolist()
    return m


def timings(fn, repeat):
    """(median wall time, least CPU time) of `fn` over `repeat` runs.  On a
    shared machine the CPU time of this process, which decode spends on one
    thread, is the steadier figure."""
    fn()
    wall, cpu = [], []
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        fn()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - w)
    return statistics.median(wall), min(cpu)


def make_and_free(fn, repeat):
    """(median seconds to make `fn`'s result, median seconds to free it),
    the collector off: numpy frees an object array's elements in memory
    order, and what the freeing costs depends on what they are."""
    gc.collect()
    gc.disable()
    try:
        made, freed = [], []
        for _ in range(repeat):
            t = time.perf_counter()
            result = fn()
            made.append(time.perf_counter() - t)
            t = time.perf_counter()
            del result
            freed.append(time.perf_counter() - t)
    finally:
        gc.enable()
    return statistics.median(made), statistics.median(freed)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    m = table(args.rows, np.random.default_rng(0))
    enc = kavrel.Encoder()
    codes = enc.encode(m)
    frame = pd.DataFrame(m, columns=[f"c{i}" for i in range(8)]).astype({f"c{i}": float for i in range(4, 8)})
    frame_codes = enc.encode(frame)
    print("distinct per text column:", [len(set(m[:, c])) for c in range(4)])

    def report(name, fn):
        wall, cpu = timings(fn, args.repeat)
        print(f"{name:58s} {wall:7.3f} s wall {cpu:7.3f} s CPU", flush=True)

    report("kavrel decode, ndarray", lambda: enc.decode(codes))
    report("numpy.array(codes).astype(object), whole table", lambda: np.array(codes).astype(object))
    try:
        from sklearn.preprocessing import OrdinalEncoder
    except ImportError:
        print("scikit-learn is not installed here: no OrdinalEncoder figure")
    else:
        sk = OrdinalEncoder()
        sk_codes = sk.fit_transform(m[:, :4])
        report("sklearn OrdinalEncoder.inverse_transform, text columns", lambda: sk.inverse_transform(sk_codes))
        whole = OrdinalEncoder()
        whole_codes = whole.fit_transform(m)
        for name, fn in [("kavrel decode, ndarray", lambda: enc.decode(codes)),
                         ("sklearn inverse_transform, whole table", lambda: whole.inverse_transform(whole_codes))]:
            made, freed = make_and_free(fn, args.repeat)
            print(f"{name + ': made, then freed':58s} {made:7.3f} s {freed:7.3f} s", flush=True)
    text_enc = kavrel.Encoder()
    text_codes = text_enc.encode(m[:, :4])
    report("kavrel decode, the 4 text columns alone", lambda: text_enc.decode(text_codes))
    categories = [np.array(sorted(set(m[:, c])), dtype=object) for c in range(4)]

    def take_per_column():
        out = np.empty(text_codes.shape, dtype=object)
        for c, values in enumerate(categories):
            out[:, c] = values.take(text_codes[:, c].astype(np.intp))
        return out

    report("numpy take per column (object), the 4 text columns", take_per_column)
    report("kavrel decode, DataFrame", lambda: enc.decode(frame_codes))


if __name__ == "__main__":
    main()
