"""Type-checked by `make typecheck` (mypy --strict) against the shipped
stubs: what a caller writes, and what the stubs must refuse."""

import copy
import pickle
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl

import kavrel


def encode_array(table: npt.NDArray[np.object_]) -> npt.NDArray[np.float64]:
    enc = kavrel.Encoder()
    codes = enc.encode(table)
    back: npt.NDArray[Any] = enc.decode(codes)
    assert back.shape == table.shape
    return codes


def encode_frame(frame: pd.DataFrame) -> pd.DataFrame:
    enc = kavrel.Encoder("label")
    codes: pd.DataFrame = enc.encode(frame)
    return enc.decode(codes)


def applied(train: pd.DataFrame, test: pd.DataFrame, rows: npt.NDArray[np.str_]) -> pd.DataFrame:
    enc = kavrel.Encoder()
    enc.encode(train)
    codes: npt.NDArray[np.float64] = enc.transform(rows)
    assert codes.dtype == np.float64
    enc.transform([["a"]])  # type: ignore[call-overload]
    return enc.transform(test)


def polars_frames(train: pl.DataFrame, test: pl.DataFrame) -> pl.DataFrame:
    enc = kavrel.Encoder()
    codes: pl.DataFrame = enc.encode(train)
    back: pl.DataFrame = enc.decode(codes)
    assert back.columns == train.columns
    return enc.transform(test)


def strategies() -> None:
    kavrel.Encoder(None)
    kavrel.Encoder(encoding="label")
    kavrel.Encoder("onehot")  # type: ignore[arg-type]
    kavrel.Encoder().encode([["a"]])  # type: ignore[call-overload]


class Sub(kavrel.Encoder):  # type: ignore[misc]
    """The class cannot be subclassed at run time: the stubs say so."""


def learned(enc: kavrel.Encoder) -> dict[int, tuple[str, ...]]:
    enc.labels = {}  # type: ignore[misc]
    return enc.labels


def merged(parts: list[kavrel.Encoder]) -> kavrel.Encoder:
    union: dict[int, list[str]] = {}
    for part in parts:
        for col, labels in part.labels.items():
            union.setdefault(col, []).extend(labels)
    kavrel.Encoder.from_labels({0: [1]}, 1)  # type: ignore[list-item]
    kavrel.Encoder.from_labels(union, 3, {})  # type: ignore[misc]
    return kavrel.Encoder.from_labels(union, n_columns=3)


def counted(parts: list[kavrel.Encoder]) -> kavrel.Encoder:
    labels: dict[int, list[str]] = {}
    counts: dict[int, list[int]] = {}
    for part in parts:
        for col, texts in part.labels.items():
            labels.setdefault(col, []).extend(texts)
            counts.setdefault(col, []).extend(part.counts[col])
    parts[0].counts = {}  # type: ignore[misc]
    kavrel.Encoder.from_labels(labels, 3, counts={0: ["1"]})  # type: ignore[list-item]
    return kavrel.Encoder.from_labels(labels, 3, counts=counts, sort=False)


def coded(enc: kavrel.Encoder, table: npt.NDArray[np.object_], frame: pd.DataFrame) -> pd.DataFrame:
    codes: npt.NDArray[np.float64] = enc.transform(table, unknown="error", missing=-1.0)
    assert codes.dtype == np.float64
    enc.transform(table, unknown="raise")  # type: ignore[call-overload]
    enc.transform(table, -1.0)  # type: ignore[call-overload]
    return enc.transform(frame, unknown=-2, missing=np.nan)


def kept(enc: kavrel.Encoder) -> kavrel.Encoder:
    other = copy.deepcopy(enc)
    other.__setstate__((1, 1, None, {0: ("a",)}))
    other.__setstate__((2, 1, None, {0: ("a",)}, {0: (3,)}))
    return pickle.loads(pickle.dumps(other))  # type: ignore[no-any-return]
