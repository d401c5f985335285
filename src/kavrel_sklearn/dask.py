"""Label encoding of a Dask DataFrame, one code per label across all partitions.

``encode_dask(ddf)`` gives the codes that one ``kavrel.Encoder().encode`` of
``ddf.compute()`` would give, bit for bit, without ever holding more than
one partition (and the labels) in a worker's memory:

1. every partition is learned on the workers, and its labels come back;
2. their union makes the encoder, with ``Encoder.from_labels``;
3. every partition is coded with it on the workers (``transform``), the
   encoder travelling there pickled, once per worker.

One encode of the whole table reads each column from the top.  A number in
a text column becomes a label too, and its text depends on where it lies:
above the column's first non-number it is written as its shortest digits
(``1.0`` -> ``"1"``), from there on through ``str()`` (``"1.0"``).  Seen from
one partition, that first non-number may lie in an earlier partition, so a
partition whose numbers would read otherwise than on their own (a column of
numbers in one partition and text in another, or a text column that starts
with numbers) is learned again and coded in the whole table's terms.  Clean
tables (text columns that start with text, numeric columns that hold
numbers everywhere) never take that road.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

import kavrel

__all__ = ["encode_dask"]

# A non-number that codes as NaN: put above a column, it makes every number
# below it read through str(), as below the whole column's first non-number.
_MARKER = "nan"
# How far down a text column the check for leading numbers looks before it
# takes the exact road anyway.
_LEADING_SCAN = 64


def encode_dask(ddf: Any, estimator: Any = None, **params: Any) -> tuple[Any, Any]:
    """Encodes the text columns of the Dask DataFrame ``ddf`` with one code per label.

    Given a ``KavrelEncoder`` (``estimator``) or its parameters
    (``**params``, over the estimator's own), it returns ``(codes,
    fitted)``: the codes of ``KavrelEncoder(**params).fit_transform(
    ddf.compute())`` bit for bit, as a lazy Dask DataFrame of the
    estimator's ``dtype`` named by ``get_feature_names_out()``, and the
    estimator fitted on the whole frame.  Every parameter works, frequency
    order and rare-label grouping too: the counts they need are taken per
    partition and merged with ``Encoder.from_labels(counts=)``.  Its text
    columns hold texts and missing values (``str``, None, NaN), as
    ``OrdinalEncoder``'s do.  Without either, kavrel's own encode:

    Returns ``(codes, encoder)``: ``codes`` is a lazy Dask DataFrame of
    float64, with ``ddf``'s partitions, index and divisions and its column
    labels as strings; ``encoder`` is the ``kavrel.Encoder`` that learned the
    whole table (as from an ndarray of its width), to ``decode`` those codes
    or ``transform`` more data.  Learning computes ``ddf`` once (twice for
    the partitions that hold numbers in a text column); ``codes`` computes
    it again when it is computed.  Runs on the current Dask scheduler: a
    ``distributed.Client``'s workers when one is active.
    """
    if estimator is not None or params:
        from kavrel_sklearn._dask_estimator import encode_with_estimator

        return encode_with_estimator(ddf, estimator, params)
    import dask

    columns = list(ddf.columns)
    n_columns = len(columns)
    parts = aligned_partitions(ddf)
    learned = dask.compute(*[dask.delayed(_learn)(part) for part in parts])

    # The partition in which each text column first holds a non-number.
    first: dict[int, int] = {}
    for p, (labels, _) in enumerate(learned):
        for c in labels:
            first.setdefault(c, p)
    union: dict[int, set[str]] = {c: set() for c in first}
    # Per partition: the columns to learn and code as below the first
    # non-number (str()), and those whose numbers lie above it.
    below: list[list[int]] = [[] for _ in parts]
    above: list[list[int]] = [[] for _ in parts]
    for p, (labels, leading) in enumerate(learned):
        for c, f in first.items():
            if p < f:
                above[p].append(c)  # numbers only, above the first non-number
            elif p == f or (c in labels and c not in leading):
                union[c].update(labels[c])
            else:
                below[p].append(c)
    again = [p for p in range(len(parts)) if above[p] or below[p]]
    for texts in dask.compute(*[dask.delayed(_texts)(parts[p], above[p], below[p]) for p in again]):
        for c, labels in texts.items():
            union[c].update(labels)
    encoder = kavrel.Encoder.from_labels(union, n_columns)

    shipped = dask.delayed(_Shipped(encoder), pure=True)
    coded = [dask.delayed(_transform)(part, shipped, below[p]) for p, part in enumerate(parts)]
    return coded_frame(ddf, coded, [str(c) for c in columns], np.float64), encoder


def aligned_partitions(ddf: Any) -> list[Any]:
    """``ddf``'s partitions as delayed frames, each with its columns in the
    frame's order: every step of the roads here works by column position."""
    import dask

    columns = list(ddf.columns)
    return [dask.delayed(_aligned)(part, columns, p) for p, part in enumerate(ddf.to_delayed())]


def coded_frame(ddf: Any, coded: list[Any], names: list[str], dtype: Any) -> Any:
    """The lazy Dask DataFrame of the delayed partitions ``coded``, columns
    ``names`` of ``dtype``, with ``ddf``'s index and divisions."""
    import dask.dataframe as dd

    # Built from an array, not a dict, so that repeated names stay columns.
    meta = pd.DataFrame(np.empty((0, len(names)), dtype=dtype), columns=names, index=ddf._meta.index)
    return dd.from_delayed(coded, meta=meta, divisions=ddf.divisions, verify_meta=False)


def _aligned(part: pd.DataFrame, columns: list[Any], p: int) -> pd.DataFrame:
    """Partition ``p`` with its columns in the frame's order, which
    ``compute()`` also gives it by name.  A partition whose names differ
    from the frame's, or that orders a repeated name otherwise (which
    position is which is then unknown), is refused."""
    own = list(part.columns)
    if own == columns:
        return part
    if len(set(columns)) == len(columns) and len(own) == len(columns) and set(own) == set(columns):
        return part[columns]
    raise ValueError(f"partition {p} has the columns {own}, which do not match the frame's columns {columns}")


def _learn(part: pd.DataFrame) -> tuple[dict[int, tuple[str, ...]], set[int]]:
    """One partition's labels, and its text columns that may start with a
    number other than NaN (whose text would differ below an earlier
    partition's non-number)."""
    encoder = kavrel.Encoder()
    encoder.encode(part)
    labels = encoder.labels
    return labels, {c for c in labels if _may_lead_with_number(part.iloc[:, c])}


def _may_lead_with_number(column: pd.Series) -> bool:
    # A number that is NaN reads as a marker either way; the scan stops at
    # the first cell that is surely no number.
    for i in range(min(len(column), _LEADING_SCAN)):
        cell = column.iloc[i]
        if type(cell) is str or cell is pd.NA:
            return False
        if not (type(cell) is float and math.isnan(cell)):
            return True
    return len(column) > _LEADING_SCAN


def _texts(part: pd.DataFrame, above: list[int], below: list[int]) -> dict[int, tuple[str, ...]]:
    """The labels that the numbers and texts of the given columns of one
    partition give in the whole table: ``above`` its first non-number (the
    marker below them), ``below`` it (the marker above)."""
    out: dict[int, tuple[str, ...]] = {}
    for columns, at_end in ((above, True), (below, False)):
        if not columns or len(part) == 0:
            continue
        cells = part.iloc[:, columns].to_numpy(dtype=object)
        marker = np.full((1, len(columns)), _MARKER, dtype=object)
        encoder = kavrel.Encoder()
        encoder.encode(np.vstack((cells, marker) if at_end else (marker, cells)))
        out.update({columns[i]: labels for i, labels in encoder.labels.items()})
    return out


class _Shipped:
    """The encoder as a task's result on the workers.  A worker tells the
    scheduler the type of every result by pickling it, and kavrel's class
    is named as a builtin, which pickle cannot find: this class pickle
    finds, and the encoder inside pickles by value."""

    __slots__ = ("encoder",)

    def __init__(self, encoder: kavrel.Encoder) -> None:
        self.encoder = encoder

    def __reduce__(self) -> tuple[Any, ...]:
        return _Shipped, (self.encoder,)


def _transform(part: pd.DataFrame, shipped: _Shipped, below: list[int]) -> pd.DataFrame:
    """One partition's codes, under the partition's own index."""
    encoder = shipped.encoder
    columns = [str(c) for c in part.columns]
    if not below or len(part) == 0:
        codes = encoder.transform(part)
        codes.index = part.index
        return codes
    # A row above the partition: the marker over the columns read below an
    # earlier non-number, a NaN (a number, so nothing moves) over the rest.
    top = np.full((1, part.shape[1]), math.nan, dtype=object)
    top[0, below] = _MARKER
    coded = encoder.transform(np.vstack((top, part.to_numpy(dtype=object))))
    return pd.DataFrame(coded[1:], index=part.index, columns=columns)

