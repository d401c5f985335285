"""decode: turning codes back into the texts the last encode learned."""

import math

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import MARKERS, assert_float64_array, obj_array, obj_column

NAN = math.nan

# Code cells and the code each stands for in a column that learned
# "a".."d" as 0..3 (None: no code of the column).
CODE_CELLS = [
    (0.0, "a"),
    (-0.0, "a"),
    (2.9, "c"),
    (0.99, "a"),
    (1.0000001, "b"),
    (3.0, "d"),
    (4.0, None),
    (-0.5, "a"),
    (-3.0, "a"),
    (-math.inf, "a"),
    (1e30, None),
    (2.0**64, None),
    (math.inf, None),
    (NAN, None),
]


def abcd_encoder():
    enc = kavrel.Encoder()
    enc.encode(obj_column("d", "c", "b", "a"))
    return enc


def test_array_codes_decode_to_texts_or_nan_string():
    enc = abcd_encoder()
    out = enc.decode(np.array([[v] for v, _ in CODE_CELLS]))
    assert type(out) is np.ndarray and out.dtype == object
    assert out[:, 0].tolist() == ["NaN" if t is None else t for _, t in CODE_CELLS]
    assert all(type(v) is str for v in out[:, 0])


def test_frame_codes_decode_to_texts_or_none():
    enc = kavrel.Encoder()
    enc.encode(pd.DataFrame({"x": ["d", "c", "b", "a"]}))
    frame = pd.DataFrame({"y": [v for v, _ in CODE_CELLS], "z": 7.5})
    out = enc.decode(frame)
    assert type(out) is pd.DataFrame
    assert list(out.columns) == ["y", "z"]
    assert out["y"].dtype == object
    assert out["y"].tolist() == [t for _, t in CODE_CELLS]
    assert out["z"].dtype == np.float64
    assert out["z"].tolist() == [7.5] * len(CODE_CELLS)


def test_frame_with_repeated_labels_decodes_column_by_column():
    """Each column is decoded with its own labels, even where a label names
    several columns (text and numbers, or two text columns)."""
    frame = pd.DataFrame([["a", 1.0, "p", "u"], ["b", 2.0, "q", "nan"]], columns=["x", "x", "y", "y"])
    enc = kavrel.Encoder()
    back = enc.decode(enc.encode(frame))
    assert back.columns.tolist() == ["x", "x", "y", "y"]
    assert back.dtypes.tolist() == [object, np.float64, object, object]
    assert [back.iloc[:, c].tolist() for c in range(4)] == [["a", "b"], [1.0, 2.0], ["p", "q"], ["u", None]]


def test_decode_without_learned_state_returns_codes():
    codes = np.array([[1.0, NAN], [0.0, 2.5]])
    frame = pd.DataFrame({"a": ["x", "y"], "b": [1, 2]})
    fresh = kavrel.Encoder()
    assert_float64_array(fresh.decode(codes), codes)
    out = fresh.decode(frame)
    assert (out.dtypes == np.float64).all()
    np.testing.assert_array_equal(out.to_numpy(), [[0.0, 1.0], [1.0, 2.0]])

    # An encode of a float64 array forgets what was learned before.
    enc = kavrel.Encoder()
    enc.encode(obj_column("x", "y"))
    enc.encode(np.zeros((1, 1)))
    assert_float64_array(enc.decode(codes), codes)
    # Learning again brings decoding back.
    enc.encode(obj_column("x", "y"))
    assert enc.decode(np.array([[1.0]])).tolist() == [["y"]]


def test_numeric_columns_come_back_as_python_floats():
    enc = kavrel.Encoder()
    enc.encode(obj_array([[1, "q", 2.5, "r", True]] * 2))
    table = np.array([[10, 0, -1, 0, 3]], dtype=np.int64)
    out = enc.decode(table)
    assert out.dtype == object
    assert out.tolist() == [[10.0, "q", -1.0, "r", 3.0]]
    assert [type(v) for v in out[0]] == [float, str, float, str, float]


def test_frame_decode_uses_the_labels_of_its_input():
    enc = kavrel.Encoder()
    enc.encode(pd.DataFrame({"a": [1.0, 2.0], "b": ["u", "v"]}))
    out = enc.decode(pd.DataFrame({"x": [5.0], "y": [1.0]}, index=["only"]))
    assert list(out.columns) == ["x", "y"]
    assert type(out.index) is pd.RangeIndex
    assert out["x"].dtype == np.float64 and out["x"].tolist() == [5.0]
    assert out["y"].dtype == object and out["y"].tolist() == ["v"]


def test_decode_of_text_learns_nothing():
    enc = abcd_encoder()
    # The text column of this input is coded afresh ("a": 0, "zzz": 1), and
    # those codes are what the learned column turns back into text.
    out = enc.decode(obj_column("zzz", "a", "zzz"))
    assert out[:, 0].tolist() == ["b", "a", "b"]
    frame_out = enc.decode(pd.DataFrame({"t": ["zzz", "a"]}))
    assert frame_out["t"].tolist() == ["b", "a"]
    # The state learned by encode is still the one in use.
    assert enc.decode(np.array([[3.0], [2.0]])).tolist() == [["d"], ["c"]]


def test_decode_with_no_rows():
    enc = abcd_encoder()
    out = enc.decode(np.zeros((0, 1)))
    assert out.dtype == object and out.shape == (0, 1)
    frame_out = enc.decode(pd.DataFrame({"a": np.zeros(0)}))
    assert frame_out.shape == (0, 1)
    assert frame_out["a"].dtype == object


def test_decode_does_not_modify_its_input():
    enc = abcd_encoder()
    codes = np.array([[2.9], [NAN]])
    frame = pd.DataFrame({"a": [2.9, NAN]}, index=[3, 4])
    frame_before = frame.copy()
    enc.decode(codes)
    enc.decode(frame)
    np.testing.assert_array_equal(codes, [[2.9], [NAN]])
    pd.testing.assert_frame_equal(frame, frame_before)


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_round_trip_gives_back_every_text(kind):
    rng = np.random.default_rng(7)
    words = ["alpha", "Beta", "", "é", "中文", "10", "9", "None", "NAN", *MARKERS]
    n_rows = 60
    columns = {
        "w": [words[i] for i in rng.integers(0, len(words), n_rows)],
        "n": rng.normal(size=n_rows).tolist(),
        "v": [f"v{i}" for i in rng.integers(0, 25, n_rows)],
        "i": rng.integers(-5, 5, n_rows).tolist(),
    }
    rows = [[columns[c][r] for c in columns] for r in range(n_rows)]
    enc = kavrel.Encoder()
    if kind == "array":
        table = obj_array(rows)
        back = enc.decode(enc.encode(table)).tolist()
        missing = "NaN"
    else:
        table = pd.DataFrame(columns).astype({"w": object, "v": object})
        back = enc.decode(enc.encode(table)).to_numpy().tolist()
        missing = None
    for row, got in zip(rows, back):
        w, n, v, i = row
        assert got == [missing if w in MARKERS else w, n, v, float(i)]
        assert type(got[1]) is float and type(got[3]) is float


def test_a_short_table_decodes_against_many_learned_labels():
    # Far more labels than cells: the labels are looked up as the cells meet
    # them, with the same outcome as for a long table.
    labels = [f"label{i:06d}" for i in range(300_000)]
    enc = kavrel.Encoder()
    enc.encode(obj_array([[text] for text in labels]))
    codes = np.array([[5.0], [299_999.9], [300_000.0], [NAN], [5.0]])
    assert enc.decode(codes)[:, 0].tolist() == [labels[5], labels[299_999], "NaN", "NaN", labels[5]]
    frame = enc.decode(pd.DataFrame(codes, columns=["c"]))
    assert frame["c"].tolist() == [labels[5], labels[299_999], None, None, labels[5]]
