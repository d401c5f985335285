"""kavrel_sklearn.dask.encode_dask on a local cluster of two worker processes:
the codes of one encode of the whole table, partition by partition."""

import math
import os

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import kavrel  # noqa: E402
from conftest import run_python  # noqa: E402
from kavrel_sklearn.dask import encode_dask  # noqa: E402
from test_fuzz_roads import FUZZ, texts  # noqa: E402


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
    # An empty partition has no first index: the divisions are then unknown.
    divisions = [f.index[0] for f in frames] + [start - 1] if all(len(f) for f in frames) else None
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


def test_partitions_are_read_by_column_name(client):
    """A partition may order the frame's columns otherwise: it is aligned by
    name, as compute() aligns it.  Repeated names stay columns of their own,
    and a partition whose names do not match is refused."""
    def part(order, rows):
        cells = {"t": [f"t{r % 3}" for r in rows], "n": [float(r) for r in rows], "u": [f"u{r}" for r in rows]}
        return pd.DataFrame({name: cells[name] for name in order}, dtype=object)

    shuffled = partitioned([part("tnu", range(0, 4)), part("unt", range(4, 9)), part("ntu", range(9, 12))])
    assert_same_as_one_encode(shuffled)
    sklearn = pytest.importorskip("sklearn")  # noqa: F841 - the estimator's road needs it
    from kavrel_sklearn import KavrelEncoder

    codes, _ = encode_dask(shuffled, categories="frequency")
    whole = shuffled.compute()
    np.testing.assert_array_equal(codes.compute().to_numpy(),
                                  KavrelEncoder(categories="frequency").fit_transform(whole))

    repeated = [pd.DataFrame([[f"a{r}", float(r), "b"], ["c", 1.0, f"d{r}"]], columns=["x", "x", "y"])
                for r in range(3)]
    ddf = partitioned(repeated)
    codes, _ = encode_dask(ddf)
    assert list(codes.columns) == ["x", "x", "y"]
    assert_same_as_one_encode(ddf)

    swapped = repeated[1].iloc[:, [0, 2, 1]]  # x, y, x
    for parts, p in (([repeated[0], swapped], 1), ([part("tnu", [0]), part("tn", [1])], 1)):
        with pytest.raises(ValueError, match=f"^partition {p} has the columns .* which do not match"):
            encode_dask(partitioned(parts))


def test_needs_no_scikit_learn():
    run_python("import sys; sys.modules['sklearn'] = None; from kavrel_sklearn.dask import encode_dask")


@st.composite
def dask_plans(draw):
    """(column names, per partition: its column order and its cells): text,
    number and mixed columns, partitions that order them otherwise, and
    repeated names."""
    names = draw(st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=3))
    # Any NaN is one: compute() (pandas' concat) puts the plain NaN in place
    # of a NaN with a payload in an object column.
    numbers = st.one_of(st.floats(allow_nan=False), st.just(math.nan), st.integers(-3, 3))
    kinds = [draw(st.sampled_from([texts, numbers, st.one_of(texts, numbers, st.sampled_from([None, pd.NA]))]))
             for _ in names]
    parts = []
    for _ in range(draw(st.integers(1, 4))):
        n = draw(st.integers(0, 4))
        order = draw(st.permutations(range(len(names)))) if draw(st.booleans()) else list(range(len(names)))
        parts.append((order, [draw(st.lists(kinds[c], min_size=n, max_size=n)) for c in range(len(names))]))
    return names, parts


@settings(FUZZ, max_examples=min(FUZZ.max_examples, 150))
@given(dask_plans())
def test_generated_partitions_code_as_their_stacked_frame(plan):
    """Codes of one encode of the partitions stacked in the frame's column
    order: compute() less pandas' concat, which would replace a NaN with a
    payload, and a column that is all missing in a partition, with NaN."""
    names, parts = plan
    frames = [pd.DataFrame({i: np.array(cells[c], dtype=object) for i, c in enumerate(order)}).set_axis(
        [names[c] for c in order], axis=1) for order, cells in parts]
    columns = list(frames[0].columns)
    alignable = all(list(f.columns) == columns for f in frames) or len(set(columns)) == len(columns)
    with dask.config.set({"scheduler": "synchronous", "dataframe.convert-string": False}):
        ddf = partitioned(frames)
        if not alignable:
            with pytest.raises(ValueError, match="do not match the frame's columns"):
                encode_dask(ddf)
            return
        codes, encoder = encode_dask(ddf)
        got = codes.compute()
    stacked = np.vstack([f[columns].to_numpy(dtype=object) if len(set(columns)) == len(columns)
                         else f.to_numpy(dtype=object) for f in frames])
    one = kavrel.Encoder()
    expected = one.encode(pd.DataFrame(stacked, columns=columns, dtype=object))
    np.testing.assert_array_equal(bits(got), bits(expected))
    assert encoder.labels == one.labels


@pytest.mark.parametrize("params", [
    {"categories": "frequency", "min_frequency": 30, "max_categories": 4},
    {"handle_unknown": "use_encoded_value", "unknown_value": -1, "encoded_missing_value": -2,
     "dtype": np.int64, "max_categories": 3},
    {"min_frequency": 0.1},
    {},
])
def test_the_estimators_codes_over_partitions_of_other_frequency_orders(client, params):
    pytest.importorskip("sklearn")
    from kavrel_sklearn import KavrelEncoder

    rng = np.random.default_rng(5)
    # Each partition's most common label is another one, and is rare in the
    # whole frame's order; None and NaN cells, and the text "None".
    labels = np.array(["Oslo", "Bern", "Zürich", "東京", "None", "Lima", "Rome"], dtype=object)
    parts = []
    for p in range(6):
        weights = np.ones(len(labels))
        weights[p] = 12.0
        column = labels[rng.choice(len(labels), 200, p=weights / weights.sum())]
        column[rng.random(200) < 0.05] = None
        column[rng.random(200) < 0.05] = np.nan
        other = labels[rng.integers(0, 3, 200)].copy()
        other[rng.random(200) < 0.1] = np.nan
        parts.append(pd.DataFrame({"city": column, "other": other}, dtype=object))
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = partitioned(parts)
        whole = ddf.compute()
    est = KavrelEncoder(**params)
    expected = KavrelEncoder(**params).fit_transform(whole)
    # The estimator, or its parameters.
    for codes, fitted in [encode_dask(ddf, est)] + ([encode_dask(ddf, **params)] if params else []):
        got = codes.compute()
        assert got.dtypes.tolist() == [expected.dtype] * 2 and list(got.columns) == ["city", "other"]
        assert got.index.equals(whole.index)
        np.testing.assert_array_equal(got.to_numpy().view(np.uint64), expected.view(np.uint64))
        one = KavrelEncoder(**params).fit(whole)
        assert [str(c.tolist()) for c in fitted.categories_] == [str(c.tolist()) for c in one.categories_]
        assert fitted.encoder_.counts == one.encoder_.counts
    assert not hasattr(est, "categories_")  # the estimator given is cloned, not fitted
    # The frequency order of the whole frame is not that of any partition.
    if params.get("categories") == "frequency":
        assert fitted.categories_[0][0] not in {part["city"].value_counts().index[0] for part in parts[:1]}
