"""Shared helpers for the kavrel test suite."""

import contextlib
import math
import os
import subprocess
import sys
import sysconfig
import threading

import numpy as np
import pandas as pd
import pytest

import kavrel

# The three texts that get no code and encode as NaN.
from model import MARKERS  # noqa: E402, F401 - shared with the model

# True on an interpreter built without the GIL (whether or not the GIL was
# turned back on at run time).
FREE_THREADED_BUILD = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled():
    """Whether the GIL is active in this process right now."""
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def run_python(code, drop_env=(), env=None, check=True):
    """Runs `code` in a fresh interpreter that can import kavrel; returns its
    standard output, or with check=False the finished process."""
    environment = {k: v for k, v in os.environ.items() if k not in drop_env}
    environment.update(env or {})
    here = os.path.dirname(os.path.abspath(kavrel.__file__))
    environment["PYTHONPATH"] = os.pathsep.join(p for p in (here, environment.get("PYTHONPATH")) if p)
    proc = subprocess.run(
        [sys.executable, "-c", code], env=environment, capture_output=True, text=True, timeout=300
    )
    if not check:
        return proc
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def obj_array(rows):
    """A 2-D object array holding exactly the given cells.

    numpy is kept from interpreting the cells (no string or number inference,
    no unpacking of sequences): every cell is stored as the object given.
    """
    rows = [list(row) for row in rows]
    n_cols = len(rows[0]) if rows else 0
    out = np.empty((len(rows), n_cols), dtype=object)
    for r, row in enumerate(rows):
        assert len(row) == n_cols
        for c, cell in enumerate(row):
            out[r, c] = cell
    return out


def obj_column(*cells):
    """A one-column object array with the given cells in row order."""
    return obj_array([[cell] for cell in cells])


def same_floats(a, b):
    """Equality of two float sequences where NaN equals NaN."""
    a, b = list(a), list(b)
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y):
            continue
        if x != y or type(x) is not type(y):
            return False
    return True


def same_cells(a, b):
    """Two arrays of the same shape and dtype whose cells are equal and of
    the same type, NaN equal to NaN and -0.0 told from 0.0."""
    assert a.shape == b.shape and a.dtype == b.dtype
    for x, y in zip(a.ravel().tolist(), b.ravel().tolist()):
        assert type(x) is type(y)
        if isinstance(x, float) and math.isnan(x):
            assert math.isnan(y)
        else:
            assert x == y and (not isinstance(x, float) or math.copysign(1, x) == math.copysign(1, y))


def assert_float64_array(result, expected):
    """`result` is a plain float64 ndarray of its own (nothing else holds
    its memory) equal to `expected`, NaN-aware."""
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    assert result.base is None and result.flags.owndata and result.flags.writeable
    expected = np.asarray(expected, dtype=np.float64)
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)


def memory_growth(call, repeat):
    """Bytes that `repeat` more runs of `call` leave allocated, after a few
    runs to warm caches up: a leak loop."""
    import gc
    import tracemalloc

    for _ in range(3):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(repeat):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()


class FailingStr:
    """A cell whose conversion to text raises ValueError."""

    def __str__(self):
        raise ValueError("no text for this cell")


class ndarray(np.ndarray):  # noqa: N801 - the name routes it like numpy's own
    """An array that takes the general road: read item by item, since its
    type is not numpy's (take one with `array.view(ndarray)`)."""


class GeneralFrame(pd.DataFrame):
    """A pandas frame that takes the general road, through its values: its
    type is named DataFrame, as pandas' own is, but is not pandas'."""


GeneralFrame.__name__ = "DataFrame"


class DataFrame:
    """A frame recognised only by the short name of its type: its labels,
    cells and shape are whatever it is given."""

    def __init__(self, columns, values):
        self.columns = columns
        self.values = values
        self.shape = values.shape


def pandas_twin(frame):
    """The pandas frame that holds the same data as the polars `frame`: its
    to_pandas(), with each null a NaN, the missing value of a pandas frame
    (pandas 2 makes None of a null in an object column, which is a cell
    like any other)."""
    twin = frame.to_pandas()
    for name in twin.columns:
        if twin[name].dtype == object:
            cells = twin[name].to_numpy(dtype=object, copy=True)
            cells[pd.isna(cells)] = np.nan
            twin[name] = pd.Series(cells, dtype=object, index=twin.index)
    return twin


# Threads: generous limits, only so that a broken module fails a test
# instead of hanging it.
WAIT = 60.0


class BlockingCell:
    """A text cell whose str() signals that it started and waits to be released."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def __str__(self):
        self.entered.set()
        assert self.release.wait(WAIT), "never released"
        return "held"


class CallInThread:
    """Runs one call on a new thread and keeps its result or exception."""

    def __init__(self, fn, *args):
        self.result = None
        self.error = None
        self._thread = threading.Thread(target=self._run, args=(fn, args))
        self._thread.start()

    def _run(self, fn, args):
        try:
            self.result = fn(*args)
        except BaseException as exc:  # noqa: BLE001 - reported by join()
            self.error = exc

    def join(self):
        self._thread.join(WAIT)
        assert not self._thread.is_alive(), "call did not finish"
        if self.error is not None:
            raise self.error
        return self.result


@contextlib.contextmanager
def held_in_str(fn, above="x"):
    """Calls fn on a new thread with the column [above, a BlockingCell]: the
    cell sits below a text, so its column is already text and fn is held
    inside the cell's str().  Yields the call once it is held there; lets it
    go on when the block ends (its result is then call.join())."""
    cell = BlockingCell()
    call = CallInThread(fn, obj_column(above, cell))
    try:
        assert cell.entered.wait(WAIT)
        yield call
    finally:
        cell.release.set()


def learned_encoder(table=None):
    """An encoder that has learned `table`; by default one text column in
    which "a" is 0 and "b" is 1."""
    enc = kavrel.Encoder()
    enc.encode(obj_column("b", "a") if table is None else table)
    return enc


def learned_texts(cells):
    """The texts that encoding a one-column table of `cells` gives its cells.

    Encodes the column, then decodes the codes with the same encoder: every
    cell comes back as the text it was encoded from ("NaN" for a marker).
    """
    enc = kavrel.Encoder()
    codes = enc.encode(obj_column(*cells))
    return enc.decode(codes)[:, 0].tolist()


@pytest.fixture(scope="session")
def panic_exception():
    """The class of the module's internal-failure exception.

    It is only reachable through a raised instance; a one-dimensional array is
    the simplest input that makes `encode` fail internally.
    """
    try:
        kavrel.Encoder().encode(np.zeros(3))
    except BaseException as exc:  # noqa: BLE001 - the class is what we are after
        return type(exc)
    pytest.fail("encode of a one-dimensional array did not fail")
