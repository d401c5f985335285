"""kavrel's encode of two 1,000,000-row DataFrames against pandas'
factorize(sort=True) per column: one of four text columns of pandas' `str`
dtype (Arrow storage under pandas 3), and one of four object text columns
beside four float columns.  Run: scripts/py ft bench/frame_roads.py [rows]"""

import statistics
import sys
import time

import numpy as np
import pandas as pd

import kavrel

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from bench import pandas_factorize, text_column  # noqa: E402


def median_time(fn, repeat=5):
    fn()
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = np.random.default_rng(0)
    cards = [10, 1_000, 100_000, 600_000]
    texts = {f"t{c}": text_column(rows, card, rng) for c, card in enumerate(cards)}
    str_frame = pd.DataFrame({k: pd.array(v, dtype=pd.StringDtype("pyarrow", na_value=np.nan)) for k, v in texts.items()})
    mixed = pd.DataFrame({k: pd.Series(v, dtype=object) for k, v in texts.items()})
    for c in range(4):
        mixed[f"f{c}"] = rng.standard_normal(rows)
    enc = kavrel.Encoder()
    print(f"pandas {pd.__version__}, {rows:,} rows; dtypes {sorted(set(map(str, str_frame.dtypes)))} "
          f"and {sorted(set(map(str, mixed.dtypes)))}")
    for name, frame in (("4 str columns", str_frame), ("4 object + 4 float columns", mixed)):
        ours = median_time(lambda: enc.encode(frame))
        theirs = median_time(lambda: pandas_factorize(frame))
        print(f"{name:28s} kavrel {ours:.3f} s   pandas factorize {theirs:.3f} s   pandas/kavrel {theirs / ours:.2f}")


if __name__ == "__main__":
    main()
