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

from conftest import obj_array  # noqa: E402
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
    pipe = make_pipeline(KavrelEncoder(), model).fit(X, y)
    assert pipe.score(X, y) > 0.95
    # A city never seen codes as NaN, which the model takes as missing.
    unseen, _ = mixed_table(50, 1, cities=("Oslo", "Paris"))
    assert pipe.predict(unseen).shape == (50,)
    assert np.isnan(pipe[0].transform(unseen)[:, 0]).sum() == (unseen["city"] == "Paris").sum()

    # The text columns alone, named; the numbers around the encoder.
    columns = ColumnTransformer([("text", KavrelEncoder(), ["city", "kind"])], remainder="passthrough")
    columns.set_output(transform="pandas")
    model = HistGradientBoostingClassifier(categorical_features=["text__city", "text__kind"], random_state=0)
    pipe = make_pipeline(columns, model).fit(X, y)
    assert pipe.score(X, y) > 0.95
    out = columns.transform(X)
    assert list(out.columns) == ["text__city", "text__kind", "remainder__size"]
    np.testing.assert_array_equal(out.to_numpy(), KavrelEncoder().fit_transform(X[["city", "kind", "size"]]))


def test_fit_transform_and_semantics():
    X, _ = mixed_table(30, 2)
    est = KavrelEncoder()
    codes = est.fit_transform(X)
    assert type(codes) is np.ndarray and codes.dtype == np.float64 and codes.flags.writeable
    np.testing.assert_array_equal(codes, est.transform(X))
    np.testing.assert_array_equal(codes[:, 1], X["size"])  # numbers pass through
    assert np.isnan(codes[:, 2]).sum() == (X["kind"] == "nan").sum()  # a marker is missing
    assert est.n_features_in_ == 3
    assert list(est.feature_names_in_) == ["city", "size", "kind"]
    assert [None if c is None else list(c) for c in est.categories_] == [sorted(set(X["city"])), None, ["a", "b"]]
    # The frame reached kavrel as a frame (its column labels were learned),
    # not copied into an object array.
    assert est.encoder_.__reduce__()[2][2] == ("city", "size", "kind")

    # Rows as lists keep their numbers; integer column labels give no names.
    est = KavrelEncoder().fit([["b", 1.5], ["a", 2]])
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
    assert back.tolist() == [["Oslo", 1.5, "x"], ["Bern", 2.0, "é"], ["Oslo", 3.0, "NaN"]]
    assert est.inverse_transform([[5.0, 1.0, 0.0]]).tolist() == [["NaN", 1.0, "x"]]

    X, _ = mixed_table(20, 3)
    est = KavrelEncoder().set_output(transform="pandas")
    codes = est.fit_transform(X)
    assert list(codes.columns) == ["city", "size", "kind"] and codes.index.equals(X.index)
    back = est.inverse_transform(codes)
    assert back["city"].tolist() == X["city"].tolist()
    assert back["kind"].tolist() == [None if k == "nan" else k for k in X["kind"]]

    # A table of another width is refused with scikit-learn's error, before
    # kavrel's decode (which does not take a narrower table) sees it.
    for wrong in (np.zeros((1, 2)), codes.iloc[:, :2]):
        with pytest.raises(ValueError, match="3 features"):
            est.inverse_transform(wrong)


def test_columns_of_one_name_round_trip():
    X = pd.DataFrame([["a", 1.0, "p"], ["b", 2.0, "q"]], columns=["x", "x", "y"])
    est = KavrelEncoder().set_output(transform="pandas")
    try:
        codes = est.fit_transform(X)
    except Exception as exc:  # noqa: BLE001 - whichever error scikit-learn raises
        pytest.skip(f"this scikit-learn refuses repeated column names: {exc!r}")
    back = est.inverse_transform(codes)
    assert [back.iloc[:, c].tolist() for c in range(3)] == [["a", "b"], [1.0, 2.0], ["p", "q"]]


def test_clone_and_pickle():
    X, _ = mixed_table(20, 4)
    est = KavrelEncoder(encoding=None)
    fitted = clone(est).fit(X)
    assert clone(fitted).get_params() == {"encoding": None} and not hasattr(clone(fitted), "encoder_")
    restored = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(restored.transform(X), fitted.transform(X))
    assert list(restored.feature_names_in_) == list(X.columns)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert restored.set_params(encoding="label").encoding == "label"


def test_a_polars_frame_reaches_kavrel_as_a_frame():
    pl = pytest.importorskip("polars")
    X, _ = mixed_table(30, 5)
    frame = pl.from_pandas(X)
    est = KavrelEncoder()
    codes = est.fit_transform(frame)
    assert type(codes) is np.ndarray and codes.flags.writeable
    np.testing.assert_array_equal(codes, KavrelEncoder().fit_transform(X))
    np.testing.assert_array_equal(est.transform(frame), codes)
    assert list(est.feature_names_in_) == ["city", "size", "kind"]
    assert est.encoder_.__reduce__()[2][2] == ("city", "size", "kind")
    back = est.inverse_transform(pl.DataFrame(codes, schema=["city", "size", "kind"]))
    assert back["city"].to_list() == X["city"].tolist()
    # Codes are float64 in every case, a frame without columns too.
    for empty in (pl.DataFrame(), pd.DataFrame(index=range(2))):
        codes = KavrelEncoder().fit_transform(empty)
        assert codes.dtype == np.float64 and codes.shape == (len(empty), 0)
