"""Label encoding of the text columns of numpy arrays and pandas and polars frames, on a shared thread pool."""

from collections.abc import Iterable, Mapping
from typing import Any, Literal, Self, final, overload

import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl

__all__ = ["Encoder"]

@final
class Encoder:
    """Label encoder of the text columns of 2-D tables.

    ``Encoder(encoding=None)``: ``"label"`` is the only strategy, and ``None``
    means the same; any other string raises ``ValueError``, any other type
    ``TypeError``.

    ``encode`` turns the text columns of a table into float64 codes and
    learns them; ``decode`` turns codes back into text with what the last
    ``encode`` learned.

    Threads: different encoders may be used from any number of threads at
    once.  One encoder allows any number of simultaneous ``decode`` and
    ``transform`` calls (and reads of what it learned, which count as
    ``decode``); an
    ``encode`` needs it alone.  An ``encode`` that meets any other call on
    the same encoder raises ``RuntimeError("Already borrowed")``, a
    ``decode`` or ``transform`` that meets an ``encode`` raises
    ``RuntimeError("Already mutably borrowed")``: calls never wait for each
    other.  Each call spreads its work over one process-wide thread pool,
    sized by ``RAYON_NUM_THREADS`` (else ``RAYON_RS_NUM_CPUS``, else the
    number of processors available).
    """

    def __new__(cls, encoding: Literal["label"] | None = None) -> Self: ...
    @property
    def labels(self) -> dict[int, tuple[str, ...]]:
        """What the last ``encode`` learned: ``{column position: labels}``.

        A new dict on every read, with one entry per text column of the
        learned table: the tuple of its labels in code order (label ``i`` has
        code ``i``): after ``encode``, sorted byte by byte by their UTF-8
        text, without the missing-value markers.  ``{}`` when nothing was
        learned.  Read-only.

        The strs are made once per learned state, by the first read (or
        ``decode``) that needs them, and shared by every later read and
        ``decode``.  Raises ``RuntimeError`` when an ``encode`` on this
        encoder runs at the same time.
        """
    @property
    def counts(self) -> dict[int, tuple[int, ...]]:
        """How many cells of the last encoded table held each label: ``{column position: counts}``.

        A new dict on every read, beside ``labels``: per text column the
        tuple of its labels' counts, in code order.  Missing values are not
        counted.  ``{}`` when nothing was learned or after encoding a
        float64 array; ``transform`` leaves it alone, ``encode`` replaces
        it.  Read-only.
        """
    @classmethod
    def from_labels(
        cls,
        labels: Mapping[int, Iterable[str]],
        n_columns: int,
        *,
        counts: Mapping[int, Iterable[int]] | None = None,
        sort: bool = True,
    ) -> Self:
        """A new encoder that has learned ``labels``, as from a table of ``n_columns`` columns.

        ``labels`` maps a column position (``0 <= position < n_columns``) to
        the labels of that text column; the other columns are numbers.
        ``counts`` maps a position to one non-negative int per label given
        there (any iterable); without it every count is 0.

        With ``sort`` (the default) each column's labels are de-duplicated
        (a label given twice has the sum of its counts) and sorted byte by
        byte by their UTF-8 text, so passing the union of what several
        encoders learned, and of their counts, gives the labels, counts and
        codes of one ``encode`` of all their tables.  With ``sort=False`` the
        labels keep the order given (code ``i`` is the ``i``-th label), which
        ``decode``, ``transform`` and pickling keep.  ``decode`` then behaves
        as after an ``encode`` that learned these labels from a
        ``numpy.ndarray`` of that width.

        Raises ``TypeError`` for a ``labels`` or ``counts`` that is not a
        mapping, a position that is not an int, a column's labels given as
        one str, a label that is not a str or a count that is not an int;
        ``ValueError`` for a negative ``n_columns``, a position out of
        range, a missing-value marker (``"<NA>"``, ``"nan"``, ``"NaN"``)
        among the labels, a label that cannot be encoded as UTF-8 (a lone
        surrogate), a count list of another length than its labels, a
        negative count, counts at a position without labels, and with
        ``sort=False`` a label given twice.
        """

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling (every protocol), ``copy.copy`` and ``copy.deepcopy``.

        They give an independent encoder with the same learned state (its
        labels in their code order, their counts, the learned table's width
        and, when it was a frame, its column labels), or with none.  States
        kept by earlier versions, without counts, still load (every count
        0).  The kept state carries a format
        version: a state kept by a newer kavrel is refused with
        ``ValueError``, and a damaged one raises ``TypeError`` or
        ``ValueError`` as ``from_labels`` does.
        """

    def __setstate__(
        self,
        state: tuple[int, int, tuple[str, ...] | None, Mapping[int, tuple[str, ...]]]
        | tuple[int, int, tuple[str, ...] | None, Mapping[int, tuple[str, ...]], Mapping[int, tuple[int, ...]]],
        /,
    ) -> None: ...
    @overload
    def encode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
        """Encodes the text columns of ``obj`` and learns their codes.

        ``obj`` is a 2-D ``numpy.ndarray`` (also ``numpy.memmap``), a
        ``pandas.DataFrame`` or a ``polars.DataFrame``; the result is a new
        object of the same kind holding float64: an array, or a frame with
        the input's column labels (as strings; a pandas frame with a fresh
        default index, a polars frame of Float64 columns).  The input is
        never modified.

        A cell is a number when Python's float protocol accepts it; strings
        (even ``"1.5"``), ``None`` and integers too large for a double are
        not.  A column is a text column as soon as one of its cells is not a
        number.  In each text column the distinct strings are ordered byte by
        byte by their UTF-8 text and numbered 0, 1, 2, ...; the missing-value
        markers ``"<NA>"``, ``"nan"`` and ``"NaN"`` get no code and encode as
        NaN.  Numeric columns are copied as floats.  A frame's missing values
        (NaN, ``None``, ``pd.NA``, NaT) are read as reading ``values`` cell by
        cell gives them.  A polars frame's cells are those of the pandas
        frame holding the same data, a null being NaN: its String,
        Categorical and Enum columns are texts, read from their Arrow
        buffers, its integer, float and Boolean columns numbers; a column of
        another type is read from the Python objects polars gives of it.

        A 2-D float64 array is copied as it is and the encoder forgets what
        it learned; every other table replaces the learned columns with its
        own.  A failed ``encode`` keeps what was learned before.

        Raises ``TypeError`` for wrong arguments and for an input that is
        neither an array nor a frame (printing its type name on standard
        output first); ``kavrel.PanicException``, which derives from
        ``BaseException`` (so ``except Exception`` does not catch it), for
        input that breaks the module's assumptions, such as an array that is
        not 2-D or a cell whose ``str()`` raises; ``RuntimeError`` when
        another call uses this encoder at the same time.
        """

    @overload
    def encode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    @overload
    def encode(self, obj: pl.DataFrame) -> pl.DataFrame: ...

    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """Turns the codes of the text columns that the last ``encode`` learned back into strings.

        ``obj`` is a 2-D ``numpy.ndarray``, a ``pandas.DataFrame`` or a
        ``polars.DataFrame`` of codes; the result is a new object of the same
        kind.  A code is truncated
        toward zero (2.9 -> 2, negatives -> 0).  A code that the column never
        gave out, and NaN, decode to the string ``"NaN"`` in an array (dtype
        object; the other cells are Python floats) and to ``None`` in a frame
        (only the learned columns become dtype object; in a polars frame,
        String columns holding null).  An encoder that has
        learned nothing returns the codes as float64.

        Raises ``TypeError`` for wrong arguments and unsupported types,
        ``kavrel.PanicException`` (a ``BaseException``) for a table narrower
        than the one learned, and ``RuntimeError`` when an ``encode`` on this
        encoder runs at the same time.
        """

    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    @overload
    def decode(self, obj: pl.DataFrame) -> pl.DataFrame: ...
    @overload
    def transform(
        self, obj: npt.NDArray[Any], *, unknown: float | Literal["error"] = ..., missing: float = ...
    ) -> npt.NDArray[np.float64]:
        """Codes ``obj`` with what the last ``encode`` learned, learning nothing.

        ``obj`` is what ``encode`` accepts, read as ``encode`` reads it, and
        the result is of the same kind.  A column learned as text is coded
        with the learned labels: a text equal to a label gets its code; a
        missing value (as ``encode`` reads them: the markers, NaN, ``pd.NA``)
        gets ``missing``; a text never learned gets ``unknown``, or with
        ``unknown="error"`` raises ``ValueError`` naming the text and its
        column position (unused categories of a categorical are never
        read, so they raise nothing).  Both default to NaN.  A column of
        numbers only is coded from the texts its numbers have in ``encode``
        (``1.0`` -> ``"1"``).  A column learned as numbers keeps its numbers.
        Right after ``r = enc.encode(t)``, ``enc.transform(t)`` equals ``r``
        bit for bit.

        Raises ``ValueError`` when nothing was learned (a fresh encoder, or
        the last ``encode`` was of a float64 array), for a table of another
        width than the learned one, for a frame whose column labels differ
        from those of the learned frame, and for a cell that is not a number
        in a column learned as numbers; ``TypeError`` as ``encode`` does;
        ``RuntimeError`` when an ``encode`` on this encoder runs at the same
        time (any number of ``transform`` and ``decode`` calls may).
        """

    @overload
    def transform(
        self, obj: pd.DataFrame, *, unknown: float | Literal["error"] = ..., missing: float = ...
    ) -> pd.DataFrame: ...
    @overload
    def transform(
        self, obj: pl.DataFrame, *, unknown: float | Literal["error"] = ..., missing: float = ...
    ) -> pl.DataFrame: ...
