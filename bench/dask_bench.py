"""The Dask road against one encode: kavrel_sklearn.dask.encode_dask on a
local cluster of worker processes, against kavrel.Encoder().encode of the
same table in this process.  Slow (it starts a cluster and moves every
partition between processes): run apart from `make bench`, as
`make bench-dask`.

    python bench/dask_bench.py [--rows N] [--partitions P] [--workers W]

Prints the seconds of each step and checks the codes equal one encode's.
"""

import argparse
import time

import numpy as np
import pandas as pd


def table(rows, rng):
    """3 text columns of 100, 10,000 and 100,000 distinct 5-20 character
    strings, and 2 float columns."""
    alphabet = np.array(list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789éø中"))
    columns = {}
    for c, distinct in enumerate((100, 10_000, 100_000)):
        lengths = rng.integers(5, 21, size=distinct)
        values = np.array(["".join(rng.choice(alphabet, n)) for n in lengths], dtype=object)
        columns[f"t{c}"] = values[rng.integers(0, distinct, size=rows)]
    for c in range(2):
        columns[f"x{c}"] = rng.standard_normal(rows)
    return pd.DataFrame(columns)


def seconds(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--partitions", type=int, default=20)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    import dask
    import dask.dataframe as dd
    import distributed

    import kavrel
    from kavrel_sklearn.dask import encode_dask

    frame = table(args.rows, np.random.default_rng(0))
    print(f"{args.rows:,} x {frame.shape[1]} table, {args.partitions} partitions, {args.workers} worker processes")

    one, expected = seconds(lambda: kavrel.Encoder().encode(frame))
    print(f"one encode, in this process:                  {one:8.3f} s")

    with (
        dask.config.set({"dataframe.convert-string": False}),
        distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                 dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        # The partitions live on the workers, as a table read there would.
        ddf = dd.from_pandas(frame, npartitions=args.partitions, sort=False).persist()
        distributed.wait(ddf)
        learn, (codes, _) = seconds(lambda: encode_dask(ddf))
        print(f"encode_dask: learn and merge the labels:      {learn:8.3f} s")
        code = seconds(lambda: distributed.wait(codes.persist()))[0]
        print(f"encode_dask: code the partitions (persisted): {code:8.3f} s")
        total, got = seconds(lambda: encode_dask(ddf)[0].compute())
        print(f"encode_dask, codes gathered here:             {total:8.3f} s")
        client.cancel(ddf)

    assert np.array_equal(got.to_numpy().view(np.uint64), expected.to_numpy().view(np.uint64))
    print(f"codes equal one encode's; the whole road takes {total / one:.1f}x one encode")


if __name__ == "__main__":
    main()
