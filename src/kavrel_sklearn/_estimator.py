"""The scikit-learn estimator: ``kavrel.Encoder`` behind fit and transform."""

from __future__ import annotations

import sys
from typing import Any, Self

import numpy as np
import numpy.typing as npt
import pandas as pd
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

import kavrel

__all__ = ["KavrelEncoder"]


class KavrelEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Label encoding of the text columns of a table, as a scikit-learn transformer.

    ``fit`` learns what ``kavrel.Encoder.encode`` learns, ``transform`` codes
    with it (``kavrel.Encoder.transform``), ``fit_transform`` does both in one
    encode and ``inverse_transform`` decodes.  kavrel's semantics hold, which
    are not ``OrdinalEncoder``'s: a column of numbers passes through as
    float64; a text column's labels are sorted byte by byte by their UTF-8
    text; a missing value (NaN, ``pd.NA`` and the texts ``"<NA>"``,
    ``"nan"``, ``"NaN"``; ``None`` is the text ``"None"``) and a label never
    learned code as NaN, never raising.  ``encoding`` is
    ``kavrel.Encoder``'s, checked by ``fit``.

    Input: a pandas or polars DataFrame is read by kavrel as it is (no copy
    into an object array); a 2-D ndarray of any dtype (object, numbers, str,
    ``StringDType``) is checked by scikit-learn's ``validate_data``, which
    does not copy it; a list of rows becomes an object ndarray first, so that
    its numbers stay numbers.  Output: a float64 ndarray, or the container
    chosen with ``set_output`` (pandas; polars where it is installed).

    Attributes after ``fit``: ``encoder_`` (the fitted ``kavrel.Encoder``),
    ``n_features_in_``, ``feature_names_in_`` (for a DataFrame whose column
    names are all strings) and ``categories_``.
    """

    encoder_: kavrel.Encoder
    n_features_in_: int

    def __init__(self, encoding: str | None = "label") -> None:
        self.encoding = encoding

    def fit(self, X: Any, y: Any = None) -> Self:
        """Learns the labels of the text columns of ``X``."""
        self.fit_transform(X)
        return self

    def fit_transform(self, X: Any, y: Any = None, **fit_params: Any) -> npt.NDArray[np.float64]:
        """Learns ``X`` and returns its codes, in one encode."""
        X = self._validate(X, reset=True)
        encoder = kavrel.Encoder(self.encoding)  # type: ignore[arg-type]
        codes = encoder.encode(X)
        if isinstance(X, np.ndarray) and X.dtype == np.float64:
            # encode copies a float64 array and learns nothing; as a table
            # of numbers only, it passes them through.
            encoder = kavrel.Encoder.from_labels({}, X.shape[1])
        self.encoder_ = encoder
        return _plain_array(codes)

    def transform(self, X: Any) -> npt.NDArray[np.float64]:
        """The codes of ``X`` with what ``fit`` learned: a label never
        learned, and a missing value, code as NaN."""
        check_is_fitted(self)
        return _plain_array(self.encoder_.transform(self._validate(X, reset=False)))

    def inverse_transform(self, X: Any) -> Any:
        """The texts of codes: an object ndarray (a code never given out,
        and NaN, decode to ``"NaN"``; numbers come back as floats), or a
        DataFrame of codes decoded to one (``None`` for those)."""
        check_is_fitted(self)
        if not _is_frame(X):
            X = check_array(_rows(X), dtype=None, ensure_all_finite=False)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input"
            )
        return self.encoder_.decode(X)

    @property
    def categories_(self) -> list[npt.NDArray[np.object_] | None]:
        """Per input column, its labels in code order (an object ndarray;
        label ``i`` has code ``i``), or ``None`` for a column of numbers.
        Made anew on each read, from ``encoder_.labels``."""
        check_is_fitted(self)
        labels = self.encoder_.labels
        return [
            np.array(labels[c], dtype=object) if c in labels else None for c in range(self.n_features_in_)
        ]

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        # Missing values are part of the data: NaN codes, never an error.
        tags.input_tags.allow_nan = True
        return tags

    def _validate(self, X: Any, reset: bool) -> Any:
        """``X`` as kavrel reads it, with scikit-learn's checks of its shape
        and feature names; a pandas or polars DataFrame goes to kavrel
        untouched."""
        if _is_frame(X):
            return validate_data(self, X, reset=reset, skip_check_array=True)
        return validate_data(self, _rows(X), reset=reset, dtype=None, ensure_all_finite=False)


def _is_frame(X: Any) -> bool:
    """A pandas DataFrame, or a polars one (polars is never imported here:
    a frame of it exists only once it is)."""
    if isinstance(X, pd.DataFrame):
        return True
    polars = sys.modules.get("polars")
    return polars is not None and isinstance(X, polars.DataFrame)


def _rows(X: Any) -> Any:
    # numpy would turn a list holding texts and numbers into an array of
    # texts, and the numbers would be coded as labels.
    if isinstance(X, (list, tuple)):
        return np.asarray(X, dtype=object)
    return X


def _plain_array(codes: Any) -> npt.NDArray[np.float64]:
    """The codes as a float64 ndarray; a DataFrame's without a copy where
    its library allows."""
    if isinstance(codes, np.ndarray):
        return codes
    out: npt.NDArray[np.float64] = codes.to_numpy()
    if out.dtype != np.float64:
        # polars gives a frame without columns a dtype of its own choosing.
        return out.astype(np.float64)
    if not out.flags.writeable:
        # pandas' copy-on-write hands out a read-only view; the frame is ours
        # alone and is dropped here, so its memory can be the caller's.
        try:
            out.flags.writeable = True
        except ValueError:
            out = out.copy()
    return out
