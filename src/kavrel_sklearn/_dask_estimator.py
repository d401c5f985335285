"""The Dask road of ``KavrelEncoder``: every parameter, with counts taken
over the whole frame.

Each partition is learned on the workers: its labels and how many cells
hold each (``Encoder.counts``), its None cells and missing values.  Merged
with ``Encoder.from_labels(counts=)``, they are the counts of one encode of
the whole frame, from which the estimator learns its categories, their
order and the rare ones exactly as its ``fit`` would; then each partition
is coded on the workers with the fitted estimator, shipped there pickled.
"""

from __future__ import annotations

from typing import Any

import pandas as pd

import kavrel

# What a partition holds in a column: its labels and their counts (None cells
# counted under "None"), its None cells and missing values; or "numbers".
_Learned = tuple[tuple[str, ...], tuple[int, ...], int, int] | str


def encode_with_estimator(ddf: Any, estimator: Any, params: dict[str, Any]) -> tuple[Any, Any]:
    import dask
    from sklearn.base import clone
    from sklearn.utils.validation import validate_data

    from kavrel_sklearn._estimator import KavrelEncoder, _ColumnStats
    from kavrel_sklearn.dask import aligned_partitions, coded_frame

    est = KavrelEncoder(**params) if estimator is None else clone(estimator).set_params(**params)
    est._check_parameters()
    validate_data(est, ddf._meta, reset=True, skip_check_array=True)

    parts = aligned_partitions(ddf)
    learned = dask.compute(*[dask.delayed(_learn)(part, est.encoding) for part in parts])
    n_rows = sum(rows for rows, _ in learned)
    n_columns = len(ddf.columns)
    stats: list[_ColumnStats | None] = []
    for j in range(n_columns):
        seen = [columns[j] for rows, columns in learned if rows > 0]
        texts = [s for s in seen if s != "numbers"]
        if not texts:
            stats.append(None)
            continue
        if len(texts) != len(seen):
            raise ValueError(
                f"column {j} holds texts in some partitions and numbers only in others: the estimator's Dask "
                "road takes columns of texts and missing values, or of numbers"
            )
        labels = [label for s in texts for label in s[0]]
        counts = [count for s in texts for count in s[1]]
        merged = kavrel.Encoder.from_labels({0: labels}, 1, counts={0: counts})
        s = _ColumnStats(n_rows, dict(zip(merged.labels.get(0, ()), merged.counts.get(0, ()))))
        s.n_none = sum(t[2] for t in texts)
        s.n_missing = sum(t[3] for t in texts)
        if s.n_none:
            s.text_counts["None"] -= s.n_none
        stats.append(s)
    est._learn(stats)

    names = [str(name) for name in est.get_feature_names_out()]
    shipped = dask.delayed(est, pure=True)
    coded = [dask.delayed(_transform)(part, shipped, names) for part in parts]
    return coded_frame(ddf, coded, names, est.dtype), est


def _learn(part: pd.DataFrame, encoding: str | None) -> tuple[int, list[_Learned]]:
    """One partition's rows, and per column what it holds."""
    from kavrel_sklearn._estimator import _plain_array, _table_stats

    encoder = kavrel.Encoder(encoding)  # type: ignore[arg-type]
    raw = _plain_array(encoder.encode(part))
    out: list[_Learned] = []
    for j, s in enumerate(_table_stats(part, raw, encoder)):
        if s is None:
            out.append("numbers")
            continue
        labels = tuple(s.text_counts)
        counts = tuple(c + (s.n_none if t == "None" else 0) for t, c in s.text_counts.items())
        out.append((labels, counts, s.n_none, s.n_missing))
    return len(part), out


def _transform(part: pd.DataFrame, est: Any, names: list[str]) -> pd.DataFrame:
    """One partition's codes, under the partition's own index."""
    return pd.DataFrame(est.transform(part), index=part.index, columns=names, copy=False)
