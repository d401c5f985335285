"""kavrel_sklearn.dask.encode_dask on a local cluster of two worker processes:
the codes of one encode of the whole table, partition by partition."""

import os

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import kavrel  # noqa: E402
from conftest import run_python  # noqa: E402
from kavrel_sklearn.dask import encode_dask  # noqa: E402


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    """A client of two worker processes, whose standard error (what they
    only log, such as a result they could not pickle for the scheduler) is
    kept in the file `client.worker_log`."""
    log = tmp_path_factory.mktemp("dask") / "workers.log"
    # Dask would turn object columns into Arrow strings, numbers included:
    # the tables here keep the cells they are made of.
    with dask.config.set({"dataframe.convert-string": False}), open(log, "w") as out:
        saved = os.dup(2)
        os.dup2(out.fileno(), 2)  # the workers inherit it
        try:
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        with cluster, distributed.Client(cluster) as client:
            client.worker_log = log
            yield client


def partitioned(parts):
    """A Dask DataFrame whose partitions are exactly the given frames (each
    keeps its own dtypes), on one running index."""
    start, frames = 0, []
    for part in parts:
        frames.append(part.set_axis(pd.RangeIndex(start, start + len(part))))
        start += len(part)
    divisions = [f.index[0] for f in frames] + [start - 1]
    return dd.from_delayed([dask.delayed(f) for f in frames], meta=frames[0].iloc[:0], divisions=divisions,
                           verify_meta=False)


def bits(frame):
    return frame.to_numpy(dtype=np.float64).view(np.uint64)


def assert_same_as_one_encode(ddf):
    codes, encoder = encode_dask(ddf)
    whole = ddf.compute()
    one = kavrel.Encoder()
    expected = one.encode(whole)
    got = codes.compute()
    np.testing.assert_array_equal(bits(got), bits(expected))
    assert got.index.equals(whole.index) and list(got.columns) == list(expected.columns)
    assert encoder.labels == one.labels
    decoded = encoder.decode(got)
    assert decoded.equals(one.decode(expected))
    return whole, decoded


def test_codes_equal_one_encode_of_the_whole_table(client):
    rng = np.random.default_rng(0)
    rows, n_parts = 4_000, 8
    frame = pd.DataFrame({
        "city": rng.choice(np.array(["Oslo", "Bern", "Zürich", "東京", "nan"], dtype=object), rows),
        "n": rng.normal(size=rows),
        "id": np.array([f"id{i}" for i in rng.integers(0, 2_000, rows)], dtype=object),
        "k": rng.integers(0, 5, rows),
    })
    # Each partition sees only part of the labels, in its own code order.
    frame.loc[: rows // 2, "city"] = "Bern"
    ddf = dd.from_pandas(frame, npartitions=n_parts, sort=False)
    assert ddf.npartitions == n_parts
    whole, decoded = assert_same_as_one_encode(ddf)
    assert decoded["city"].tolist() == [None if c == "nan" else c for c in whole["city"]]
    assert decoded["id"].tolist() == whole["id"].tolist()
    # Nothing failed on the way, not even what the workers only log (such as
    # a result whose type they could not pickle for the scheduler).
    assert " - ERROR - " not in client.worker_log.read_text()


def test_numbers_read_as_in_the_whole_table(client):
    # Numbers in a column that is text elsewhere become labels whose text
    # depends on where they lie in the whole column: above its first
    # non-number as shortest digits (1.0 -> "1"), below it through str()
    # ("1.0").  Partition by partition: numbers only before the first text
    # ("late"), then text that starts with numbers, numbers only, and a
    # frame of other dtypes for the same columns.
    def obj(*cells):
        return np.array(cells, dtype=object)

    parts = [
        pd.DataFrame({"late": obj(1.0, 2.5, True), "lead": obj("a", 1.0, 2.0), "s": obj(np.nan, "x", "y")}),
        pd.DataFrame({"late": obj(1.0, "t", 1.0), "lead": obj(1.0, True, "b"), "s": obj(np.nan, np.nan, "x")}),
        pd.DataFrame({"late": obj(3.0, np.nan, 1e23), "lead": obj(2.0, 7, 1.0), "s": obj("z", "y", "x")}),
        pd.DataFrame({"late": [1.0, 4.0, 5.0], "lead": [1.0, 2.0, 3.0], "s": obj(np.nan, "w", "nan")}),
        pd.DataFrame({"late": obj(np.nan, 1.0, "u"), "lead": obj(False, "c", 1.0), "s": obj(pd.NA, "v", "x")}),
    ]
    whole, decoded = assert_same_as_one_encode(partitioned(parts))
    # "late" and "lead" mix numbers and text: object columns.  "s" holds
    # only strings and missing values: pandas 3 makes its str column of it,
    # pandas 2 an object column.
    assert whole.dtypes.tolist()[:2] == [object, object]
    assert whole.dtypes.iloc[2] == (object if pd.__version__.startswith("2.") else "str")
    # "late": the same number has two labels, as in the whole table;
    # "lead": every partition after the first reads its numbers through
    # str(), though alone the one that starts with 1.0 would read "1".
    assert {"1", "1.0"} <= set(decoded["late"].dropna())
    assert "1.0" in set(decoded["lead"]) and "1" not in set(decoded["lead"])


def test_needs_no_scikit_learn():
    run_python("import sys; sys.modules['sklearn'] = None; from kavrel_sklearn.dask import encode_dask")
