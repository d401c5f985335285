"""The scikit-learn estimator: ``OrdinalEncoder``'s interface, with
``kavrel.Encoder`` counting, grouping and coding."""

from __future__ import annotations

import math
import numbers
import sys
from dataclasses import dataclass, field
from typing import Any, Self

import numpy as np
import numpy.typing as npt
import pandas as pd
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.preprocessing import OrdinalEncoder
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

import kavrel

__all__ = ["KavrelEncoder"]

# Where a code without a label goes before the look-up that gives the final
# codes: kavrel writes these for a text never learned and a missing value,
# and a None cell is moved to its own slot.  Negative, so they index the
# last three entries of a column's table.
_UNKNOWN, _MISSING, _NONE = -1.0, -2.0, -3.0
_SLOTS = (_UNKNOWN, _MISSING, _NONE)


class KavrelEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Ordinal encoding of the text columns of a table, with scikit-learn's
    ``OrdinalEncoder`` interface: a drop-in whose counting, grouping and
    coding run in ``kavrel.Encoder``.

    Parameters are ``OrdinalEncoder``'s, keyword-only, with its defaults and
    meaning, stored as given and checked by ``fit`` with the exceptions
    scikit-learn raises: ``categories`` (``"auto"``, a list of one list of
    categories per column, used in its order, or ``"frequency"``: per column
    its labels by decreasing count, ties by their UTF-8 bytes, then ``None``,
    then NaN), ``dtype``, ``handle_unknown`` (``"error"`` or
    ``"use_encoded_value"``), ``unknown_value``, ``encoded_missing_value``,
    ``min_frequency`` and ``max_categories`` (rare labels grouped into one
    code); plus kavrel's ``encoding`` (``"label"``).

    On tables of ``str``, ``None`` and NaN cells (ndarrays and pandas
    frames) the codes, ``categories_``, ``infrequent_categories_``,
    ``feature_names_in_``, ``get_feature_names_out()`` and
    ``inverse_transform`` equal ``OrdinalEncoder``'s, ``None`` included (a
    category of its own, after every text and before NaN).  The one
    difference: the texts ``"<NA>"``, ``"nan"`` and ``"NaN"`` are missing
    values, as everywhere in kavrel.  Where ``OrdinalEncoder``'s own
    ``inverse_transform`` breaks (a column with both a missing category and
    infrequent ones), the missing code decodes to NaN.

    kavrel's reading holds otherwise: a column of numbers passes through as
    numbers (its ``categories_`` entry is ``None``); a pandas or polars frame
    is read by kavrel as it is, without a copy into an object array.
    """

    encoder_: kavrel.Encoder
    n_features_in_: int

    _parameter_constraints: dict[str, Any] = {
        **OrdinalEncoder._parameter_constraints,
        "categories": [StrOptions({"auto", "frequency"}), list],
        "encoding": [StrOptions({"label"}), None],
    }

    def __init__(
        self,
        *,
        categories: Any = "auto",
        dtype: Any = np.float64,
        handle_unknown: str = "error",
        unknown_value: Any = None,
        encoded_missing_value: Any = np.nan,
        min_frequency: Any = None,
        max_categories: Any = None,
        encoding: str | None = "label",
    ) -> None:
        self.categories = categories
        self.dtype = dtype
        self.handle_unknown = handle_unknown
        self.unknown_value = unknown_value
        self.encoded_missing_value = encoded_missing_value
        self.min_frequency = min_frequency
        self.max_categories = max_categories
        self.encoding = encoding

    # --- fit ---------------------------------------------------------------

    def fit(self, X: Any, y: Any = None) -> Self:
        """Learns the categories of every text column of ``X``."""
        self.fit_transform(X)
        return self

    def fit_transform(self, X: Any, y: Any = None, **fit_params: Any) -> Any:
        """Learns ``X`` and returns its codes, as ``fit(X).transform(X)``
        would, from one encode."""
        self._check_parameters()
        X = self._validate(X, reset=True)
        encoder = kavrel.Encoder(self.encoding)  # type: ignore[arg-type]
        raw = _plain_array(encoder.encode(X))
        stats = _table_stats(X, raw, encoder)
        self._learn(stats)
        # The encode's codes are those of its sorted labels: each column's
        # table takes them to the learned codes.
        out = np.empty(raw.shape, dtype=self.dtype, order="F")
        for j, column in enumerate(self._columns):
            if column is None:
                out[:, j] = raw[:, j]
                continue
            codes = raw[:, j]
            np.copyto(codes, _MISSING, where=np.isnan(codes))
            _move_none_cells(codes, stats[j].none_rows)  # type: ignore[union-attr]
            self._code_column(out, j, codes, column.from_sorted, X, "fit")
        return out

    def _check_parameters(self) -> None:
        """scikit-learn's checks of the parameters, with its exceptions."""
        self._validate_params()
        if self.handle_unknown == "use_encoded_value":
            if _is_nan(self.unknown_value):
                if np.dtype(self.dtype).kind != "f":
                    raise ValueError(
                        f"When unknown_value is np.nan, the dtype parameter should be a float dtype. Got {self.dtype}."
                    )
            elif not isinstance(self.unknown_value, numbers.Integral):
                raise TypeError(
                    "unknown_value should be an integer or np.nan when handle_unknown is "
                    f"'use_encoded_value', got {self.unknown_value}."
                )
        elif self.unknown_value is not None:
            raise TypeError(
                f"unknown_value should only be set when handle_unknown is 'use_encoded_value', got {self.unknown_value}."
            )

    def _learn(self, stats: list[_ColumnStats | None]) -> None:
        """The fitted state from each column's labels and counts: the
        categories, the rare ones, and the encoder and tables that code."""
        n_features = len(stats)
        if isinstance(self.categories, list) and len(self.categories) != n_features:
            raise ValueError("Shape mismatch: if categories is an array, it has to be of shape (n_features,).")
        self._infrequent_enabled = (
            self.max_categories is not None and self.max_categories >= 1
        ) or self.min_frequency is not None
        self.categories_: list[npt.NDArray[np.object_] | None] = []
        self._missing_indices: dict[int, int] = {}
        infrequent: list[npt.NDArray[np.intp] | None] = []
        self._columns: list[_Column | None] = []
        n_rows = max((s.n_rows for s in stats if s is not None), default=0)
        for j, s in enumerate(stats):
            if s is None:
                self.categories_.append(None)
                infrequent.append(None)
                self._columns.append(None)
                continue
            cats, counts = self._column_categories(j, s)
            self.categories_.append(cats)
            missing = len(cats) > 0 and _is_nan(cats[-1])
            if missing:
                self._missing_indices[j] = len(cats) - 1
            rare = self._identify_infrequent(counts[:-1] if missing else counts, n_rows) if self._infrequent_enabled else None
            infrequent.append(rare)
            self._columns.append(None)
        if self._infrequent_enabled:
            self._infrequent_indices = infrequent
        self._check_cardinalities()
        labels: dict[int, list[str]] = {}
        counts_of: dict[int, list[int]] = {}
        for j, s in enumerate(stats):
            learned = self.categories_[j]
            if s is None or learned is None:
                continue
            cats = learned
            column = _Column.make(cats, infrequent[j], j in self._missing_indices, s, self._unknown_code(),
                                  self.encoded_missing_value)
            self._columns[j] = column
            labels[j] = column.labels
            counts_of[j] = column.counts
        self.encoder_ = kavrel.Encoder.from_labels(labels, n_features, counts=counts_of, sort=False)

    def _column_categories(self, j: int, s: _ColumnStats) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.int64]]:
        """Column j's categories in code order, with their counts."""
        texts = [t for t, c in s.text_counts.items() if c > 0]
        tail: list[Any] = ([None] if s.n_none else []) + ([np.nan] if s.n_missing else [])
        if self.categories == "auto":
            # Python orders strs by code point, the order of their UTF-8
            # bytes (surrogates included): kavrel's order, which `texts`
            # has already, so the sort only checks it.
            listed = sorted(texts) + tail
        elif self.categories == "frequency":
            listed = sorted(texts, key=lambda t: (-s.text_counts[t], t)) + tail
        else:
            listed = list(self.categories[j])
            self._check_listed(j, listed, s)
        cats = np.empty(len(listed), dtype=object)
        cats[:] = listed
        if isinstance(self.categories, list):
            counts = np.array([s.count_of(c) for c in listed], dtype=np.int64)
        else:
            n_texts = len(listed) - len(tail)
            text_counts = [s.text_counts[t] for t in listed[:n_texts]]
            counts = np.array(text_counts + [s.count_of(c) for c in tail], dtype=np.int64)
        return cats, counts

    def _check_listed(self, j: int, listed: list[Any], s: _ColumnStats) -> None:
        """scikit-learn's checks of the categories given for column j."""
        if listed and isinstance(listed[0], bytes):
            raise ValueError(
                f"In column {j}, the predefined categories have type 'bytes' which is incompatible with values of "
                "type 'str'."
            )
        for category in listed[:-1]:
            if _is_nan(category):
                raise ValueError(
                    f"Nan should be the last element in user provided categories, see categories "
                    f"{np.array(listed, dtype=object)} in column #{j}"
                )
        if len(set(_category_key(c) for c in listed)) != len(listed):
            raise ValueError(f"In column {j}, the predefined categories contain duplicate elements.")
        if self.handle_unknown == "error":
            diff = s.unseen_by(listed)
            if diff:
                raise ValueError(f"Found unknown categories {diff} in column {j} during fit")

    def _identify_infrequent(self, counts: npt.NDArray[np.int64], n_rows: int) -> npt.NDArray[np.intp] | None:
        """The positions of the rare categories among `counts`, as
        scikit-learn picks them (ties: the earlier category is the rarer)."""
        rare: npt.NDArray[np.bool_]
        if isinstance(self.min_frequency, numbers.Integral):
            rare = counts < int(self.min_frequency)
        elif isinstance(self.min_frequency, numbers.Real):
            rare = counts < n_rows * float(self.min_frequency)
        else:
            rare = np.zeros(counts.shape[0], dtype=bool)
        n_current = counts.size - rare.sum() + 1
        if self.max_categories is not None and self.max_categories < n_current:
            frequent = self.max_categories - 1
            if frequent == 0:
                rare[:] = True
            else:
                rare[np.argsort(counts, kind="mergesort")[:-frequent]] = True
        out = np.flatnonzero(rare)
        return out if out.size > 0 else None

    def _check_cardinalities(self) -> None:
        cardinalities = []
        rare = getattr(self, "_infrequent_indices", None)
        for j, cats in enumerate(self.categories_):
            if cats is None:
                continue
            n = len(cats) - (1 if j in self._missing_indices else 0)
            if rare is not None and rare[j] is not None:
                n -= len(rare[j])
            cardinalities.append((j, n))
        if self.handle_unknown == "use_encoded_value":
            for _, n in cardinalities:
                if 0 <= self.unknown_value < n:
                    raise ValueError(
                        f"The used value for unknown_value {self.unknown_value} is one of the values already used "
                        "for encoding the seen categories."
                    )
        if self._missing_indices:
            if np.dtype(self.dtype).kind != "f" and _is_nan(self.encoded_missing_value):
                raise ValueError(
                    f"There are missing values in features {list(self._missing_indices)}. For OrdinalEncoder to "
                    f"encode missing values with dtype: {self.dtype}, set encoded_missing_value to a non-nan value, "
                    "or set dtype to a float"
                )
            if not _is_nan(self.encoded_missing_value):
                invalid: Any = [
                    j for j, n in cardinalities if j in self._missing_indices and 0 <= self.encoded_missing_value < n
                ]
                if invalid:
                    if hasattr(self, "feature_names_in_"):
                        invalid = self.feature_names_in_[invalid]
                    raise ValueError(
                        f"encoded_missing_value ({self.encoded_missing_value}) is already used to encode a known "
                        f"category in features: {invalid}"
                    )

    def _unknown_code(self) -> float:
        return float(self.unknown_value) if self.handle_unknown == "use_encoded_value" else math.nan

    # --- transform ---------------------------------------------------------

    def transform(self, X: Any) -> Any:
        """The codes of ``X`` with what ``fit`` learned, as
        ``OrdinalEncoder.transform`` gives them."""
        check_is_fitted(self, "categories_")
        X = self._validate(X, reset=False)
        raw = _plain_array(self.encoder_.transform(X, unknown=_UNKNOWN, missing=_MISSING))
        out = np.empty(raw.shape, dtype=self.dtype, order="F")
        for j, column in enumerate(self._columns):
            if column is None:
                out[:, j] = raw[:, j]
                continue
            codes = raw[:, j]
            if column.none_code is not None:
                rows = np.flatnonzero(codes == column.none_code)
                if rows.size:
                    _move_none_cells(codes, rows[_none_cells(X, j, rows)])
            self._code_column(out, j, codes, column.final, X, "transform")
        return out

    def _code_column(self, out: Any, j: int, codes: Any, table: _Table, X: Any, step: str) -> None:
        """Column j of `out`: the final codes of `codes` (kavrel's codes,
        or the slots of an unknown, missing or None cell) by `table`."""
        index = codes.astype(np.intp)
        # A fit meets the slots of its own labels, of None cells and of
        # missing values, which have categories: only a label left out of a
        # given list of categories can be unknown there.
        may_meet = table.unknown[: -len(_SLOTS)] if step == "fit" else table.unknown
        if self.handle_unknown == "error" and may_meet.any() and table.unknown[index].any():
            bad = table.unknown[index]
            raise ValueError(f"Found unknown categories {_unknown_values(X, j, bad)} in column {j} during {step}")
        codes_by_slot = table.codes
        if out.dtype.kind != "f":
            # Integer codes: the slots left NaN are those of unknown cells,
            # refused above.
            codes_by_slot = np.nan_to_num(codes_by_slot, nan=0)
        codes_by_slot = codes_by_slot.astype(out.dtype, copy=False)
        np.take(codes_by_slot, index, out=out[:, j])

    # --- inverse_transform -------------------------------------------------

    def inverse_transform(self, X: Any) -> npt.NDArray[Any]:
        """The categories of codes, as ``OrdinalEncoder.inverse_transform``
        gives them: ``None`` for ``unknown_value``, ``"infrequent_sklearn"``
        for the code of the rare categories; where scikit-learn's breaks (a
        column with a missing category and rare ones), NaN for the missing
        code.  A column of numbers comes back as its numbers."""
        check_is_fitted(self)
        X = check_array(X, ensure_all_finite="allow-nan")
        n_samples = X.shape[0]
        n_features = len(self.categories_)
        if X.shape[1] != n_features:
            raise ValueError(f"Shape of the passed X data is not correct. Expected {n_features} columns, got {X.shape[1]}.")
        # Each code becomes a position in one object array of every column's
        # categories, after None and "infrequent_sklearn"; one take from it
        # then makes the result in its own order.  A take of objects into a
        # column of the result, strided, would cost twice as much.
        tables: list[Any] = [np.array([None, "infrequent_sklearn"], dtype=object)]
        start = len(tables[0])
        positions = np.zeros((n_samples, n_features), dtype=np.intp)  # 0: None
        rare_of = getattr(self, "_infrequent_indices", None)
        for i in range(n_features):
            cats = self.categories_[i]
            labels = X[:, i]
            if cats is None:
                continue  # its numbers are copied in below
            missing_idx = self._missing_indices.get(i)
            rare = rare_of[i] if rare_of is not None else None
            mended = missing_idx is not None and rare is not None
            if missing_idx is not None:
                labels = labels.copy()
                missing = _value_mask(labels, self.encoded_missing_value)
                labels[missing] = missing_idx
            rows: Any = slice(None)
            rare_rows = None
            if rare is not None:
                rare_rows = labels == len(cats) - len(rare) - (1 if mended else 0)
                if mended:
                    rare_rows &= ~missing
                rows = ~rare_rows
                keep = np.ones(len(cats), dtype=bool)
                keep[rare] = False
                cats = cats[keep]
                if mended:
                    labels[missing] = len(cats) - 1  # NaN stays the last category
            unknown_rows = None
            if self.handle_unknown == "use_encoded_value":
                unknown_rows = _value_mask(labels, self.unknown_value)
                if mended:
                    unknown_rows &= ~missing
                rows = ~unknown_rows if isinstance(rows, slice) else rows & ~unknown_rows
            # The column's positions are indexed as its categories would be:
            # negative codes from the end, and numpy's IndexError for a code
            # out of their range.
            own = np.arange(start, start + len(cats), dtype=np.intp)
            if isinstance(rows, slice):
                positions[:, i] = own[labels.astype(np.intp, copy=False)]
            else:
                positions[rows, i] = own[labels[rows].astype(np.int64, copy=False)]
            if rare_rows is not None:
                positions[rare_rows, i] = 1  # "infrequent_sklearn"; unknown rows stay None
            tables.append(cats)
            start += len(cats)
        out = np.concatenate(tables).take(positions)
        for i, cats in enumerate(self.categories_):
            if cats is None:
                out[:, i] = X[:, i]
        return out

    # --- attributes --------------------------------------------------------

    @property
    def infrequent_categories_(self) -> list[npt.NDArray[np.object_] | None]:
        """Per column its rare categories (grouped into one code), or
        ``None``; only with ``min_frequency`` or ``max_categories``."""
        rare = self._infrequent_indices  # AttributeError without grouping, as scikit-learn's
        return [None if r is None or c is None else c[r] for c, r in zip(self.categories_, rare)]

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        tags.input_tags.allow_nan = True
        return tags

    def _validate(self, X: Any, reset: bool) -> Any:
        """``X`` as kavrel reads it, with scikit-learn's checks of its shape
        and feature names; a pandas or polars DataFrame goes to kavrel
        untouched."""
        if _is_frame(X):
            return validate_data(self, X, reset=reset, skip_check_array=True)
        return validate_data(self, _rows(X), reset=reset, dtype=None, ensure_all_finite=False)


# --- What a table holds, per column ----------------------------------------


@dataclass
class _ColumnStats:
    """What one text column of a table holds: each text and how many cells
    hold it, the None cells (kavrel reads them as the text "None") and the
    missing values.  Those of partitions add up to the whole table's."""

    n_rows: int
    text_counts: dict[str, int] = field(default_factory=dict)
    n_none: int = 0
    n_missing: int = 0
    none_rows: Any = None  # rows of the None cells, in one table's codes

    def count_of(self, category: Any) -> int:
        if category is None:
            return self.n_none
        if _is_nan(category):
            return self.n_missing
        return self.text_counts.get(category, 0) if isinstance(category, str) else 0

    def unseen_by(self, listed: list[Any]) -> list[Any]:
        """What the column holds that `listed` lacks, as scikit-learn lists it."""
        known = {c for c in listed if isinstance(c, str)}
        diff: list[Any] = sorted(t for t, c in self.text_counts.items() if c and t not in known)
        if self.n_none and not any(c is None for c in listed):
            diff.append(None)
        if self.n_missing and not any(_is_nan(c) for c in listed):
            diff.append(np.nan)
        return diff


def _table_stats(X: Any, raw: Any, encoder: kavrel.Encoder) -> list[_ColumnStats | None]:
    """Per column of `X`, which `encoder` just encoded into `raw`, what it
    holds: None for a column of numbers."""
    n_rows, n_cols = raw.shape
    labels, counts = encoder.labels, encoder.counts
    stats: list[_ColumnStats | None] = []
    for j in range(n_cols):
        if j not in labels:
            # A column of numbers; in an object column, NaN only is a text
            # column of missing values.
            missing_only = _column_dtype(X, j) == object and n_rows > 0 and bool(np.isnan(raw[:, j]).all())
            stats.append(_ColumnStats(n_rows, n_missing=n_rows) if missing_only else None)
            continue
        s = _ColumnStats(n_rows, dict(zip(labels[j], counts[j])))
        s.n_missing = n_rows - sum(counts[j])
        if "None" in s.text_counts:
            code = labels[j].index("None")
            rows = np.flatnonzero(raw[:, j] == code)
            s.none_rows = rows[_none_cells(X, j, rows)]
            s.n_none = int(s.none_rows.size)
            s.text_counts["None"] -= s.n_none
        stats.append(s)
    return stats


@dataclass
class _Table:
    """Final codes by slot: slot k < m for label k of the fitted encoder (or
    of the sorted labels of a fit), then the slots of a None cell, a missing
    value and a text never learned.  `unknown` marks the slots that are
    unknown to the categories."""

    codes: npt.NDArray[np.float64]
    unknown: npt.NDArray[np.bool_]


@dataclass
class _Column:
    """How one text column is coded: the labels of the fitted encoder, in
    category order, and the tables from their codes (and from the codes of
    a fit's sorted labels) to the final codes."""

    labels: list[str]
    counts: list[int]
    none_code: float | None  # the code of the label "None", whose cells may be None
    final: _Table
    from_sorted: _Table

    @staticmethod
    def make(cats: Any, rare: Any, missing: bool, s: _ColumnStats, unknown: float, encoded_missing: Any) -> _Column:
        n = len(cats) - (1 if missing else 0)
        # The code of each category: rare ones share the code after the
        # frequent ones, which keep their order.
        code = np.arange(n, dtype=np.float64)
        if rare is not None:
            frequent = np.ones(n, dtype=bool)
            frequent[rare] = False
            code[frequent] = np.arange(frequent.sum())
            code[rare] = frequent.sum()
        codes = code.tolist()
        code_of_text = {c: codes[k] for k, c in enumerate(cats[:n].tolist()) if type(c) is str}
        none_final: float | None = None
        if len(code_of_text) < n:
            for k, c in enumerate(cats[:n].tolist()):
                if c is None:
                    none_final = codes[k]
        # kavrel holds every text category but the markers (missing values
        # to it), and the text "None" for None cells when no category is
        # that text.
        labels = [t for t in code_of_text if t not in ("<NA>", "nan", "NaN")]
        if none_final is not None and "None" not in code_of_text:
            labels.append("None")
        none_code = float(labels.index("None")) if "None" in labels else None
        missing_final = float(encoded_missing) if missing else None

        def table(texts: list[str]) -> _Table:
            codes = np.full(len(texts) + len(_SLOTS), unknown)
            is_unknown = np.ones(len(texts) + len(_SLOTS), dtype=bool)
            found = np.fromiter((code_of_text.get(t, math.nan) for t in texts), np.float64, len(texts))
            known = ~np.isnan(found)
            codes[: len(texts)][known] = found[known]
            is_unknown[: len(texts)] = ~known
            if none_final is not None:
                codes[int(_NONE)], is_unknown[int(_NONE)] = none_final, False
            if missing_final is not None:
                codes[int(_MISSING)], is_unknown[int(_MISSING)] = missing_final, False
            return _Table(codes, is_unknown)

        return _Column(
            labels=labels,
            counts=[s.text_counts.get(t, 0) if t != "None" or "None" in code_of_text else s.n_none for t in labels],
            none_code=none_code,
            final=table(labels),
            from_sorted=table(list(s.text_counts)),  # the labels of an encode, sorted
        )


# --- Helpers ---------------------------------------------------------------


def _is_nan(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, numbers.Integral) and math.isnan(value)


def _category_key(value: Any) -> Any:
    """Categories as duplicates are told: every NaN is the same."""
    return ("nan",) if _is_nan(value) else value


def _value_mask(values: Any, value: Any) -> Any:
    return np.isnan(values) if _is_nan(value) else values == value


def _move_none_cells(codes: Any, rows: Any) -> None:
    if rows is not None and rows.size:
        codes[rows] = _NONE


def _column_dtype(X: Any, j: int) -> Any:
    if isinstance(X, np.ndarray):
        return X.dtype
    if isinstance(X, pd.DataFrame):
        return X.dtypes.iloc[j]
    return None


def _column_cells(X: Any, j: int) -> Any:
    """Column j as an object ndarray of its cells."""
    if isinstance(X, np.ndarray):
        return X[:, j]
    if isinstance(X, pd.DataFrame):
        return X.iloc[:, j].to_numpy(dtype=object)
    return np.asarray(X.to_series(j).to_list(), dtype=object)


def _none_cells(X: Any, j: int, rows: Any) -> npt.NDArray[np.bool_]:
    """Which of the given rows of column j hold None, not the text "None"
    (kavrel reads both as that text): only object columns can."""
    if _column_dtype(X, j) != object or rows.size == 0:
        return np.zeros(rows.size, dtype=bool)
    cells = _column_cells(X, j)[rows]
    # Only the str "None" and None are coded as the text "None", and of the
    # two only None is missing to pandas, whose check runs without a
    # Python call per cell.
    return np.asarray(pd.isna(cells), dtype=bool)


def _unknown_values(X: Any, j: int, rows: Any) -> list[Any]:
    """The distinct values of the given rows of column j, as scikit-learn
    lists unknown categories: texts, then None, then NaN."""
    texts, none, nan = set(), False, False
    for cell in _column_cells(X, j)[rows]:
        if cell is None:
            none = True
        elif isinstance(cell, str) and cell not in ("<NA>", "nan", "NaN"):
            texts.add(cell)
        else:
            nan = True
    return sorted(texts) + ([None] if none else []) + ([np.nan] if nan else [])


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
    """The codes as a writeable float64 ndarray; a DataFrame's without a
    copy where its library allows."""
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
