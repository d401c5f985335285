"""decode builds its result itself; these tests hold it to the result of the
step-by-step road through numpy and pandas, rebuilt here in Python: a float64
array copied and turned into dtype object, then one label stored per cell; a
float64 frame, then per learned column `astype(object)`, column assignment
and a `.loc` write of the labels (by position where a label names several
columns)."""

import contextlib
import math
import struct
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kavrel
from conftest import MARKERS, memory_growth, obj_array
from model import model_labels

SETTINGS = settings(
    max_examples=150, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)


def code_of(v):
    """The code a cell value stands for: truncation toward zero, saturating."""
    if v < 0:
        return 0
    if v > 18446744073709549568.0:  # the largest double below 2**64
        return 2**64 - 1
    return int(v)


def label_of(labels, v):
    return None if math.isnan(v) else labels.get(code_of(v))


def stepwise_array(codes, learned, n_cols_learned):
    """The array result, one numpy step at a time."""
    floats = np.array(codes, dtype=np.float64, order="F")  # the matrix, column by column
    objects = np.array(floats, order="C").astype(object)
    n_rows, n_cols = floats.shape
    for col in n_cols_learned:
        if n_rows and col >= n_cols:
            raise IndexError("ndarray: index out of bounds")
        for r in range(n_rows):
            label = label_of(learned[col], floats[r, col])
            objects[r, col] = "NaN" if label is None else label
    return objects


def stepwise_frame(codes, names, learned, columns):
    """The frame result, one pandas step at a time."""
    floats = np.array(codes, dtype=np.float64, order="F")  # the matrix, column by column
    frame = pd.DataFrame(floats, columns=list(names))
    n_rows, n_cols = floats.shape
    for col in columns:
        if n_rows and col >= n_cols:
            raise IndexError("ndarray: index out of bounds")
        values = [label_of(learned[col], floats[r, col]) for r in range(n_rows)]
        if col >= len(names):
            raise IndexError(f"index out of bounds: the len is {len(names)} but the index is {col}")
        name = names[col]
        if list(names).count(name) > 1:
            # Written by label, it would be written into every column of
            # that label: each is written by position instead.
            frame.isetitem(col, pd.Series(values, dtype=object))
            continue
        frame[name] = frame[name].astype(object)
        frame.loc[:, name] = values
    return frame


def bits(x):
    return struct.pack("<d", x)


def assert_same_cell(got, want):
    assert type(got) is type(want), (got, want)
    if type(want) is float:
        assert bits(got) == bits(want), (got, want)  # -0.0 and NaN payloads too
    else:
        assert got == want


FLAGS = ("c_contiguous", "f_contiguous", "owndata", "writeable", "aligned", "writebackifcopy")


def flags(array):
    return [getattr(array.flags, name) for name in FLAGS]


def assert_same_array(got, want):
    assert type(got) is np.ndarray and got.dtype == want.dtype == object
    assert got.shape == want.shape and got.strides == want.strides
    assert flags(got) == flags(want)
    assert got.base is None and want.base is None
    for g, w in zip(got.ravel().tolist(), want.ravel().tolist()):
        assert_same_cell(g, w)
    # One str per label of a column: equal labels are the same object.
    for column in got.T.tolist():
        strs = {}
        for cell in column:
            if type(cell) is str:
                assert strs.setdefault(cell, cell) is cell


def column_layout(frame, i):
    values = frame.iloc[:, i].to_numpy()
    return values.dtype, values.strides, values.flags.c_contiguous


def assert_same_frame(got, want):
    assert type(got) is pd.DataFrame
    pd.testing.assert_index_equal(got.columns, want.columns, exact=True)
    pd.testing.assert_index_equal(got.index, want.index, exact=True)
    assert got.dtypes.tolist() == want.dtypes.tolist()
    assert got.flags.allows_duplicate_labels == want.flags.allows_duplicate_labels
    for i in range(got.shape[1]):
        assert column_layout(got, i) == column_layout(want, i)
        for g, w in zip(got.iloc[:, i].tolist(), want.iloc[:, i].tolist()):
            assert_same_cell(g, w)


def pandas_options():
    """The option settings under which both roads are compared."""
    settings = [{}]
    if pd.__version__.startswith("2."):
        settings += [{"mode.copy_on_write": True}, {"mode.copy_on_write": "warn"}]
        settings += [{"future.infer_string": True}]
    return settings


@contextlib.contextmanager
def options(values):
    with contextlib.ExitStack() as stack:
        for key, value in values.items():
            stack.enter_context(pd.option_context(key, value))
        yield


# --- tables --------------------------------------------------------------------

LABELS = st.one_of(
    st.sampled_from([*MARKERS, "", "a", "b", "B", "10", "9", "None", "é", "中文", "\U0001f600", "x" * 40]),
    st.text(max_size=5),
)
CODES = st.one_of(
    st.integers(min_value=-3, max_value=12).map(float),
    st.sampled_from([0.5, 2.9, -0.0, -0.5, 1e30, 2.0**64, -(2.0**64), math.inf, -math.inf, 5e-324]),
    st.floats(),
    st.just(struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]),  # a NaN with a payload
)


@st.composite
def learned_and_codes(draw):
    """(the table learned from, the codes decoded): the codes may be narrower
    or wider than the learned table, and may have no rows."""
    n_learn = draw(st.integers(min_value=1, max_value=7))
    n_cols = draw(st.integers(min_value=0, max_value=4))
    learn_rows = []
    for c in range(n_cols):
        text = draw(st.booleans())
        cells = st.one_of(LABELS, st.floats(allow_nan=False)) if text else st.floats(allow_nan=False)
        column = draw(st.lists(cells, min_size=n_learn, max_size=n_learn))
        if text and not any(isinstance(x, str) for x in column):
            column[0] = draw(LABELS)
        learn_rows.append(column)
    n_decode_cols = draw(st.sampled_from([n_cols, n_cols, max(n_cols - 1, 0), n_cols + 1]))
    n_rows = draw(st.sampled_from([0, 1, 2, 5, 9, 30]))
    codes = draw(
        st.lists(st.lists(CODES, min_size=n_decode_cols, max_size=n_decode_cols), min_size=n_rows, max_size=n_rows)
    )
    return learn_rows, np.array(codes, dtype=np.float64).reshape(n_rows, n_decode_cols)


def learn(columns):
    """An encoder that learned `columns`, and what it learned."""
    n_rows = len(columns[0]) if columns else 0
    table = obj_array([[col[r] for col in columns] for r in range(n_rows)]) if columns else np.empty((1, 0), object)
    enc = kavrel.Encoder()
    enc.encode(table)
    learned = model_labels(columns)
    return enc, learned, sorted(learned)


def outcome(fn):
    try:
        return fn(), None
    except BaseException as exc:  # noqa: BLE001 - the module's panic is a BaseException
        return None, str(exc)


# --- the array kind ------------------------------------------------------------


@SETTINGS
@given(learned_and_codes())
def test_array_result_equals_the_stepwise_one(case):
    columns, codes = case
    enc, learned, text_columns = learn(columns)
    got, got_error = outcome(lambda: enc.decode(codes))
    want, want_error = outcome(lambda: stepwise_array(codes, learned, text_columns))
    assert got_error == want_error
    if want_error is None:
        assert_same_array(got, want)


def test_array_edge_shapes_and_values(panic_exception):
    enc, learned, text_columns = learn([["b", "a", "nan"], [1.0, 2.0, 3.0]])
    weird = [-0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308]
    tables = [
        np.zeros((0, 2)),
        np.zeros((0, 0)),
        np.zeros((0, 5)),
        np.array([[v, v] for v in weird]),
        np.full((3, 3), 1.0),
        np.asfortranarray(np.arange(8.0).reshape(4, 2)),
    ]
    for codes in tables:
        assert_same_array(enc.decode(codes), stepwise_array(codes, learned, text_columns))
    # A learned column beyond the decoded table fails as soon as there is a row.
    enc, _, _ = learn([[1.0], ["t"]])
    with pytest.raises(panic_exception, match="^ndarray: index out of bounds$"):
        enc.decode(np.zeros((1, 1)))
    # With no learned text columns at all, every cell is a float.
    enc.encode(obj_array([[1, 2.5]]))
    out = enc.decode(np.array([[-0.0, math.nan]]))
    assert out.dtype == object and [type(x) for x in out[0]] == [float, float]


# --- the frame kind ------------------------------------------------------------


@SETTINGS
@given(learned_and_codes(), st.sampled_from(pandas_options()))
def test_frame_result_equals_the_stepwise_one(case, option_values):
    columns, codes = case
    enc, learned, text_columns = learn(columns)
    names = [f"c{i}" for i in range(codes.shape[1])]
    with options(option_values):
        frame = pd.DataFrame(codes, columns=names)
        got, got_error = outcome(lambda: enc.decode(frame))
        want, want_error = outcome(lambda: stepwise_frame(codes, names, learned, text_columns))
    assert got_error == want_error
    if want_error is None:
        assert_same_frame(got, want)


@pytest.mark.parametrize("option_values", pandas_options())
def test_frame_labels_shared_by_columns_decode_column_by_column(option_values):
    # A label that names two columns makes pandas read and write both at
    # once: each is decoded with its own labels, in its own place.
    enc, learned, text_columns = learn([["u", "v"], ["w", "x"], [1.0, 2.0]])
    for names in (["a", "a", "b"], ["a", "b", "a"], ["b", "a", "a"], ["0", "0", "0"]):
        for codes in (np.array([[0.0, 1.0, 3.0], [1.0, 0.0, 4.0]]), np.array([[1.0, 0.0, 9.0]] * 3)):
            with options(option_values):
                frame = pd.DataFrame(codes, columns=names)
                got, got_error = outcome(lambda: enc.decode(frame))
                want, want_error = outcome(lambda: stepwise_frame(codes, names, learned, text_columns))
            assert type(got_error) is type(want_error)
            if want_error is None:
                assert_same_frame(got, want)
            else:
                assert type(got_error) is str and got_error == want_error


def writes_to(frame):
    """What a user sees when writing to `frame` through views and copies: per
    step its warnings and errors, then the frame's cells."""
    import warnings

    def column_write():
        column = frame["t"]
        column.iloc[0] = "changed"

    def array_write():
        frame["n"].to_numpy()[0] = -1.0

    def loc_write():
        frame.loc[1, "t"] = "w"
        frame.loc[0, "n"] = 9.0

    seen = []
    for step in (column_write, array_write, loc_write):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            _, error = outcome(step)
        seen.append((error, sorted(type(w.message).__name__ for w in caught)))
    return seen, frame.to_numpy().tolist()


@pytest.mark.parametrize("option_values", pandas_options())
def test_frame_writes_behave_as_on_the_stepwise_frame(option_values):
    enc, learned, text_columns = learn([["u", "v"], [1.0, 2.0]])
    codes = np.array([[0.0, 5.0], [1.0, 6.0]])
    with options(option_values):
        got = writes_to(enc.decode(pd.DataFrame(codes, columns=["t", "n"])))
        want = writes_to(stepwise_frame(codes, ["t", "n"], learned, text_columns))
    assert got == want


def test_frame_failures_keep_their_order(panic_exception):
    # Two learned columns, 0 and 2: a frame of two columns with a row fails on
    # the matrix, one without rows on its labels.
    enc, _, _ = learn([["u"], [1.0], ["w"]])
    with pytest.raises(panic_exception, match="^ndarray: index out of bounds$"):
        enc.decode(pd.DataFrame({"a": [0.0], "b": [0.0]}))
    with pytest.raises(panic_exception, match="^index out of bounds: the len is 2 but the index is 2$"):
        enc.decode(pd.DataFrame({"a": np.zeros(0), "b": np.zeros(0)}))


# --- references ----------------------------------------------------------------


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_decode_leaves_no_reference_behind(kind):
    label = "".join(["only", "-label"])  # a fresh str, not interned
    enc = kavrel.Encoder()
    enc.encode(obj_array([[label, 1.5], ["other", 2.5]]))
    codes = np.array([[0.0, 7.0], [1.0, -0.0], [5.0, math.nan]] * 100)
    table = codes if kind == "array" else pd.DataFrame(codes, columns=["s", "f"])

    out = enc.decode(table)
    made = out[0, 0] if kind == "array" else out["s"].iloc[0]
    assert made == label and made is not label
    held = sys.getrefcount(made)
    del out
    # The array or frame held the label in its 100 cells; decode kept none
    # beyond the one of the encoder's learned strs.
    assert held - sys.getrefcount(made) == 100
    one_name = "".join(["one", "-name"])
    assert sys.getrefcount(made) == sys.getrefcount(one_name) + 1
    enc.encode(np.zeros((1, 1)))
    assert sys.getrefcount(made) == sys.getrefcount(one_name)

    assert memory_growth(lambda: enc.decode(table), repeat=30) < 50_000


def test_failed_decodes_leave_nothing_behind(panic_exception):
    # Learned columns 0 and 2: the labels of column 0 are made before column
    # 2 is found beyond the table.
    enc, _, _ = learn([[f"w{i}" for i in range(50)], [1.0] * 50, ["u"] * 50])
    narrow = np.zeros((4, 2))

    def failing(table):
        def call():
            with pytest.raises(panic_exception):
                enc.decode(table)

        return call

    assert memory_growth(failing(narrow), repeat=30) < 50_000
    assert memory_growth(failing(pd.DataFrame(narrow, columns=["a", "b"])), repeat=30) < 50_000


def test_labels_are_the_strs_the_utf8_decoder_makes():
    # The decoder hands out the interpreter's own empty and one-character
    # strs; a longer label is a str of its own, of the narrowest kind.
    texts = ["", "a", "é", "ab", "a\x00b", "中文", "\U0001f600x", "x" * 100]
    enc, learned, _ = learn([texts])
    out = enc.decode(np.arange(len(texts), dtype=np.float64).reshape(-1, 1))[:, 0].tolist()
    for text in texts:
        made = out[sorted(texts, key=lambda t: t.encode()).index(text)]
        assert made == text and type(made) is str
        assert (made is text.encode().decode()) == (len(text) < 2)
        assert made.isascii() == text.isascii()
