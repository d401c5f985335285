"""kavrel_sklearn.KavrelEncoder: scikit-learn's own checks, and the estimator
inside pipelines, with kavrel's semantics kept."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("sklearn")
import sklearn.utils.estimator_checks as checks  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.ensemble import HistGradientBoostingClassifier  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402

from conftest import obj_array, same_cells, same_floats  # noqa: E402
from kavrel_sklearn import KavrelEncoder  # noqa: E402


def with_checks(estimators, **kw):
    """parametrize_with_checks, its checks listed: pytest warns about (and
    this suite turns into errors) the generator it passes."""
    mark = checks.parametrize_with_checks(estimators, **kw)
    return pytest.mark.parametrize(mark.args[0], list(mark.args[1]), **mark.kwargs)


@with_checks([KavrelEncoder()], expected_failed_checks=lambda est: {})
def test_sklearn_checks(estimator, check):
    check(estimator)


# The checks that check_estimator leaves to scikit-learn's own suite: output
# containers, and feature names carried from frames.  Fitting on a frame and
# transforming an array (or the other way round) warns, as it should: two
# of them do just that.
@pytest.mark.filterwarnings("ignore:X does not have valid feature names:UserWarning")
@pytest.mark.filterwarnings("ignore:X has feature names, but:UserWarning")
@pytest.mark.parametrize("name", [
    "check_set_output_transform",
    "check_set_output_transform_pandas",
    "check_global_output_transform_pandas",
    "check_set_output_transform_polars",
    "check_global_set_output_transform_polars",
    "check_dataframe_column_names_consistency",
    "check_transformer_get_feature_names_out",
    "check_transformer_get_feature_names_out_pandas",
])
def test_sklearn_output_checks(name):
    if "polars" in name:
        pytest.importorskip("polars")
    getattr(checks, name)("KavrelEncoder", KavrelEncoder())


def mixed_table(rows, seed, cities=("Bern", "Lima", "Oslo", "Rome")):
    """A text column that decides the class with a number column, a text
    column of noise with missing values, and the class."""
    rng = np.random.default_rng(seed)
    city = rng.choice(np.array(cities, dtype=object), rows)
    size = rng.normal(size=rows)
    kind = rng.choice(np.array(["a", "b", "nan"], dtype=object), rows)
    X = pd.DataFrame({"city": city, "size": size, "kind": kind})
    return X, (city == "Oslo") ^ (size > 0)


def test_in_pipeline_and_column_transformer():
    X, y = mixed_table(400, 0)
    model = HistGradientBoostingClassifier(categorical_features=[0, 2], random_state=0)
    lenient = KavrelEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan)
    pipe = make_pipeline(lenient, model).fit(X, y)
    assert pipe.score(X, y) > 0.95
    # A city never seen codes as NaN, which the model takes as missing; by
    # default it is refused, as by OrdinalEncoder.
    unseen, _ = mixed_table(50, 1, cities=("Oslo", "Paris"))
    assert pipe.predict(unseen).shape == (50,)
    assert np.isnan(pipe[0].transform(unseen)[:, 0]).sum() == (unseen["city"] == "Paris").sum()
    with pytest.raises(ValueError, match=r"^Found unknown categories \['Paris'\] in column 0 during transform$"):
        KavrelEncoder().fit(X).transform(unseen)

    # The text columns alone, named; the numbers around the encoder.
    columns = ColumnTransformer([("text", KavrelEncoder(), ["city", "kind"])], remainder="passthrough")
    columns.set_output(transform="pandas")
    model = HistGradientBoostingClassifier(categorical_features=["text__city", "text__kind"], random_state=0)
    pipe = make_pipeline(columns, model).fit(X, y)
    assert pipe.score(X, y) > 0.95
    out = columns.transform(X)
    assert list(out.columns) == ["text__city", "text__kind", "remainder__size"]
    np.testing.assert_array_equal(out.to_numpy(), KavrelEncoder().fit_transform(X[["city", "kind", "size"]]))


class TablesSeen:
    """kavrel.Encoder, recording the type of every table its encode and
    transform are given."""

    def __init__(self, monkeypatch):
        import kavrel

        real, seen = kavrel.Encoder, []
        self.seen = seen

        class Spy:
            from_labels = staticmethod(lambda *a, **kw: Spied(real.from_labels(*a, **kw)))

            def __new__(cls, *args):
                return Spied(real(*args))

        class Spied:
            def __init__(self, encoder):
                self.__dict__["encoder"] = encoder

            def __getattr__(self, name):
                attribute = getattr(self.encoder, name)
                if name in ("encode", "transform"):
                    return lambda table, **kw: (seen.append(type(table)), attribute(table, **kw))[1]
                return attribute

        monkeypatch.setattr(kavrel, "Encoder", Spy)


def test_fit_transform_and_semantics(monkeypatch):
    X, _ = mixed_table(30, 2)
    est = KavrelEncoder()
    tables = TablesSeen(monkeypatch)
    codes = est.fit_transform(X)
    assert type(codes) is np.ndarray and codes.dtype == np.float64 and codes.flags.writeable
    np.testing.assert_array_equal(codes, est.transform(X))
    np.testing.assert_array_equal(codes[:, 1], X["size"])  # numbers pass through
    assert np.isnan(codes[:, 2]).sum() == (X["kind"] == "nan").sum()  # a marker is missing
    assert est.n_features_in_ == 3
    assert list(est.feature_names_in_) == ["city", "size", "kind"]
    # A marker is a missing value: NaN among the categories, last.
    assert [None if c is None else list(c) for c in est.categories_[:2]] == [sorted(set(X["city"])), None]
    assert same_floats(est.categories_[2], ["a", "b", np.nan])
    # The frame reached kavrel as a frame, not copied into an object array.
    assert tables.seen == [pd.DataFrame, pd.DataFrame]
    monkeypatch.undo()

    # Rows as lists keep their numbers; integer column labels give no names.
    est = KavrelEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan).fit([["b", 1.5], ["a", 2]])
    np.testing.assert_array_equal(est.transform([["a", 7], ["z", 2]]), [[0.0, 7.0], [np.nan, 2.0]])
    assert not hasattr(est, "feature_names_in_")
    assert not hasattr(KavrelEncoder().fit(pd.DataFrame({0: ["x"], 1: ["y"]})), "feature_names_in_")

    # A float64 array (which kavrel copies without learning) is a table of
    # numbers: transform and inverse_transform work after it.
    est = KavrelEncoder().fit(np.eye(2))
    np.testing.assert_array_equal(est.transform(np.ones((1, 2))), [[1.0, 1.0]])
    assert est.categories_ == [None, None]

    with pytest.raises(ValueError):
        KavrelEncoder(encoding="onehot").fit(X)


def test_inverse_transform_round_trip():
    table = obj_array([["Oslo", 1.5, "x"], ["Bern", 2.0, "é"], ["Oslo", 3.0, "nan"]])
    est = KavrelEncoder()
    back = est.inverse_transform(est.fit_transform(table))
    assert same_floats(back.ravel(), ["Oslo", 1.5, "x", "Bern", 2.0, "é", "Oslo", 3.0, np.nan])
    with pytest.raises(IndexError):  # a code never given out, as OrdinalEncoder refuses it
        est.inverse_transform([[5.0, 1.0, 0.0]])

    X, _ = mixed_table(20, 3)
    est = KavrelEncoder().set_output(transform="pandas")
    codes = est.fit_transform(X)
    assert list(codes.columns) == ["city", "size", "kind"] and codes.index.equals(X.index)
    back = est.inverse_transform(codes)
    assert type(back) is np.ndarray
    assert back[:, 0].tolist() == X["city"].tolist()
    assert same_floats(back[:, 2], [np.nan if k == "nan" else k for k in X["kind"]])

    # A table of another width is refused with scikit-learn's error, before
    # kavrel's decode (which does not take a narrower table) sees it.
    for wrong in (np.zeros((1, 2)), codes.iloc[:, :2]):
        with pytest.raises(ValueError, match="Expected 3 columns"):
            est.inverse_transform(wrong)


def test_columns_of_one_name_round_trip():
    X = pd.DataFrame([["a", 1.0, "p"], ["b", 2.0, "q"]], columns=["x", "x", "y"])
    est = KavrelEncoder().set_output(transform="pandas")
    try:
        codes = est.fit_transform(X)
    except Exception as exc:  # noqa: BLE001 - whichever error scikit-learn raises
        pytest.skip(f"this scikit-learn refuses repeated column names: {exc!r}")
    assert codes.columns.tolist() == ["x", "x", "y"]
    assert est.inverse_transform(codes).tolist() == [["a", 1.0, "p"], ["b", 2.0, "q"]]


def test_clone_and_pickle():
    X, _ = mixed_table(20, 4)
    est = KavrelEncoder(encoding=None)
    fitted = clone(est).fit(X)
    assert clone(fitted).get_params()["encoding"] is None and not hasattr(clone(fitted), "encoder_")
    restored = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(restored.transform(X), fitted.transform(X))
    assert list(restored.feature_names_in_) == list(X.columns)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert restored.set_params(encoding="label").encoding == "label"


def test_a_polars_frame_reaches_kavrel_as_a_frame(monkeypatch):
    pl = pytest.importorskip("polars")
    X, _ = mixed_table(30, 5)
    frame = pl.from_pandas(X)
    est = KavrelEncoder()
    tables = TablesSeen(monkeypatch)
    codes = est.fit_transform(frame)
    assert type(codes) is np.ndarray and codes.flags.writeable
    np.testing.assert_array_equal(est.transform(frame), codes)
    assert tables.seen == [pl.DataFrame, pl.DataFrame]
    monkeypatch.undo()
    np.testing.assert_array_equal(codes, KavrelEncoder().fit_transform(X))
    assert list(est.feature_names_in_) == ["city", "size", "kind"]
    back = est.inverse_transform(pl.DataFrame(codes, schema=["city", "size", "kind"]))
    assert back[:, 0].tolist() == X["city"].tolist()
    # Codes are float64 in every case, a frame without columns too.
    for empty in (pl.DataFrame(), pd.DataFrame(index=range(2))):
        codes = KavrelEncoder().fit_transform(empty)
        assert codes.dtype == np.float64 and codes.shape == (len(empty), 0)


# --- OrdinalEncoder's interface and outputs, with scikit-learn's own encoder
# as the oracle -------------------------------------------------------------

from sklearn.preprocessing import OrdinalEncoder  # noqa: E402

# Short, tied, non-ASCII, long, and the text "None" (a label of its own
# beside the None cell).
POOL = np.array(["a", "b", "B", "ab", "é", "ß", "東京", "Zürich", "None", "x" * 40 + "1", "x" * 40 + "2", "10", "9"],
                dtype=object)
UNSEEN = np.array(["zz", "x" * 40 + "3", "ñ"], dtype=object)

PARAMS = [
    {},
    {"handle_unknown": "use_encoded_value", "unknown_value": -1},
    {"handle_unknown": "use_encoded_value", "unknown_value": np.nan, "encoded_missing_value": -2},
    {"handle_unknown": "use_encoded_value", "unknown_value": 99, "dtype": np.int64, "encoded_missing_value": -1},
    {"dtype": np.float32, "handle_unknown": "use_encoded_value", "unknown_value": -1},
    {"min_frequency": 3, "handle_unknown": "use_encoded_value", "unknown_value": -1},
    {"min_frequency": 0.15},
    {"max_categories": 3, "handle_unknown": "use_encoded_value", "unknown_value": -1},
    {"max_categories": 1, "encoded_missing_value": -1},
    {"min_frequency": 2, "max_categories": 4, "handle_unknown": "use_encoded_value", "unknown_value": np.nan},
    {"categories": "frequency", "handle_unknown": "use_encoded_value", "unknown_value": -1},
    {"categories": "frequency", "max_categories": 3},
    {"categories": "given", "handle_unknown": "use_encoded_value", "unknown_value": -1},
    {"categories": "given", "min_frequency": 2, "handle_unknown": "use_encoded_value", "unknown_value": -5},
    {"categories": "given"},
    {"handle_unknown": "use_encoded_value", "unknown_value": 0},
    {"encoded_missing_value": 0},
    {"dtype": np.int64},
    {"handle_unknown": "use_encoded_value"},
    {"handle_unknown": "ignore"},
    {"min_frequency": 0},
    {"max_categories": 0.5},
    {"categories": ["a"]},
]


def seeded_table(rng, n_rows, n_cols, pool=POOL, missing=True):
    """Columns of few labels with skewed weights (so counts tie and differ),
    with None and NaN cells."""
    table = np.empty((n_rows, n_cols), dtype=object)
    for j in range(n_cols):
        labels = rng.choice(pool, size=int(rng.integers(1, 7)), replace=False)
        weights = rng.integers(1, 4, len(labels)).astype(float)
        table[:, j] = rng.choice(labels, n_rows, p=weights / weights.sum())
        if missing:
            table[rng.random(n_rows) < rng.choice([0, 0.1, 0.3]), j] = None
            table[rng.random(n_rows) < rng.choice([0, 0.1, 0.3]), j] = np.nan
    return table


def frequency_order(column):
    """Labels by decreasing count, ties by UTF-8 bytes, then None, then NaN."""
    texts = [c for c in column if isinstance(c, str)]
    counts = {t: texts.count(t) for t in set(texts)}
    order = sorted(counts, key=lambda t: (-counts[t], t.encode()))
    has_none = any(c is None for c in column)
    has_nan = any(isinstance(c, float) for c in column)
    return order + [None] * has_none + [np.nan] * has_nan


def oracle_and_ours(params, train, rng):
    """OrdinalEncoder and KavrelEncoder with `params`, categories spelled
    out for the oracle where it has no such option."""
    ours, theirs = dict(params), dict(params)
    if params.get("categories") == "frequency":
        theirs["categories"] = [frequency_order(train[:, j]) for j in range(train.shape[1])]
    elif params.get("categories") == "given":
        given = []
        for j in range(train.shape[1]):
            seen = [c for c in frequency_order(train[:, j]) if isinstance(c, str)]
            listed = list(rng.permutation(np.array(seen + ["zz"], dtype=object)))
            if any(c is None for c in train[:, j]):
                listed.insert(int(rng.integers(0, len(listed) + 1)), None)
            if any(isinstance(c, float) for c in train[:, j]):
                listed.append(np.nan)
            given.append(listed)
        ours["categories"] = theirs["categories"] = given
    return KavrelEncoder(**ours), OrdinalEncoder(**theirs)


def same_objects(a, b):
    """Lists of category arrays (or None) equal cell for cell, NaN equal."""
    assert len(a) == len(b)
    for x, y in zip(a, b):
        if y is None:
            assert x is None
            continue
        assert x.dtype == y.dtype and x.shape == y.shape
        assert same_floats(x.tolist(), y.tolist()), (x, y)


def outcome(call):
    try:
        return call(), None
    except Exception as exc:  # noqa: BLE001 - compared with the oracle's
        return None, exc


def assert_same_outcome(ours, theirs):
    (got, error), (expected, expected_error) = ours, theirs
    if expected_error is not None:
        assert error is not None, f"the oracle raised {expected_error!r}, kavrel did not"
        if isinstance(expected_error, IndexError) and "0-dimensional" in str(expected_error):
            # scikit-learn makes its array of given categories with the
            # dtype of pandas' str column, and fails on it.
            return False
        assert type(error) is type(expected_error), (error, expected_error)
        message = str(error).replace("KavrelEncoder", "OrdinalEncoder")
        assert message.split("[")[0] == str(expected_error).split("[")[0]
        return False
    assert error is None, error
    assert type(got) is type(expected) and got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)
    return True


def broken_in_sklearn(est):
    """Columns where OrdinalEncoder.inverse_transform mixes up missing and
    infrequent: both a NaN category and rare ones."""
    rare = getattr(est, "_infrequent_indices", None) or []
    return [j for j, r in enumerate(rare) if r is not None and j in est._missing_indices]


@pytest.mark.parametrize("params", PARAMS, ids=[str(p) for p in PARAMS])
def test_outputs_equal_ordinal_encoders(params):
    rng = np.random.default_rng(PARAMS.index(params))
    for case in range(14):
        n_rows = int(rng.choice([1, 3, 12, 60, 250]))
        train = seeded_table(rng, n_rows, int(rng.integers(1, 4)))
        test = train.copy()
        test[rng.random(test.shape) < 0.2] = rng.choice(UNSEEN)
        if case % 3 == 0:
            test[rng.random(test.shape) < 0.1] = None
        for kind in ("array", "object frame", "frame"):
            if kind == "array":
                X, T = train, test
            else:
                columns = [f"c{j}" for j in range(train.shape[1])]
                dtype = object if kind == "object frame" else None
                X = pd.DataFrame(train, columns=columns, dtype=dtype)
                T = pd.DataFrame(test, columns=columns, dtype=dtype)
            ours, theirs = oracle_and_ours(params, np.asarray(X.to_numpy(dtype=object) if kind != "array" else X), rng)
            fitted = assert_same_outcome(outcome(lambda: ours.fit_transform(X)),
                                         outcome(lambda: theirs.fit_transform(X)))
            if not fitted:
                continue
            same_objects(ours.categories_, theirs.categories_)
            assert hasattr(ours, "infrequent_categories_") == hasattr(theirs, "infrequent_categories_")
            if hasattr(theirs, "infrequent_categories_"):
                same_objects(ours.infrequent_categories_, theirs.infrequent_categories_)
            assert list(ours.get_feature_names_out()) == list(theirs.get_feature_names_out())
            assert hasattr(ours, "feature_names_in_") == hasattr(theirs, "feature_names_in_")
            assert_same_outcome(outcome(lambda: ours.transform(T)), outcome(lambda: theirs.transform(T)))
            codes = theirs.transform(X)
            broken = broken_in_sklearn(theirs)
            got = ours.inverse_transform(codes)
            if not broken:
                same_cells(got, theirs.inverse_transform(codes.copy()))
                # Codes never given out: a negative one counts from the end,
                # one past the categories raises, as numpy indexes them.
                odd = codes.copy()
                odd[0] = rng.choice([-1, -2, 10_000], size=odd.shape[1])
                (mine, error), (expected, expected_error) = (
                    outcome(lambda: ours.inverse_transform(odd)), outcome(lambda: theirs.inverse_transform(odd.copy())))
                if expected_error is None:
                    same_cells(mine, expected)
                else:
                    assert type(error) is type(expected_error) and str(error) == str(expected_error)
                continue
            # The mend: the missing code decodes to NaN, every other cell as
            # scikit-learn decodes it where it is sound.
            rare = set()
            for j, infrequent in enumerate(theirs.infrequent_categories_):
                rare |= {(j, c) for c in (infrequent if infrequent is not None else [])}
            values = np.asarray(X.to_numpy(dtype=object) if kind != "array" else X)
            for (r, j), cell in np.ndenumerate(values):
                g = got[r, j]
                if isinstance(cell, float):
                    assert isinstance(g, float) and np.isnan(g)
                elif (j, cell) in rare:
                    assert g == "infrequent_sklearn"
                else:
                    assert g == cell or (g is None and cell is None)


def test_parameters_are_ordinal_encoders():
    assert set(KavrelEncoder().get_params()) == set(OrdinalEncoder().get_params()) | {"encoding"}
    for name, value in OrdinalEncoder().get_params().items():
        assert same_floats([KavrelEncoder().get_params()[name]], [value]) or KavrelEncoder().get_params()[name] is value
    with pytest.raises(TypeError):
        KavrelEncoder("auto")
    # Stored unchecked, refused by fit with scikit-learn's own error class.
    est = KavrelEncoder(categories="often", max_categories=-1)
    from sklearn.utils._param_validation import InvalidParameterError
    with pytest.raises(InvalidParameterError, match="categories"):
        est.fit(obj_array([["a"]]))
    with pytest.raises(InvalidParameterError, match="encoding"):
        KavrelEncoder(encoding="onehot").fit(obj_array([["a"]]))
    est = clone(KavrelEncoder(categories="frequency", min_frequency=2)).set_params(max_categories=3)
    assert est.get_params()["categories"] == "frequency" and est.get_params()["max_categories"] == 3
    # Shape of a list of categories, repeated ones and NaN not last, as
    # scikit-learn refuses them.
    X = obj_array([["a", "b"], ["b", None]])
    for categories, match in [([["a", "b"]], "Shape mismatch"), ([["a", "a", "b"], ["b", None]], "duplicate"),
                              ([["a", np.nan, "b"], ["b", None]], "Nan should be the last")]:
        for est in (KavrelEncoder(categories=categories), OrdinalEncoder(categories=categories)):
            with pytest.raises(ValueError, match=match):
                est.fit(X)
