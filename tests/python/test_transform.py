"""Encoder.transform: a table coded with what the last encode learned."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given

import kavrel
from conftest import held_in_str, learned_encoder, obj_array, obj_column
from test_fuzz_roads import FUZZ, arrays, assert_same_table, frames, laid_out, make_frame

NAN = float("nan")


def encoded(enc, table):
    """encode's result, or None when encode refuses the table (its cells
    may make it fail: nothing to compare with then)."""
    try:
        return enc.encode(table)
    except BaseException:  # noqa: BLE001 - the module's panic is a BaseException
        return None


@FUZZ
@given(arrays())
def test_transform_repeats_encode_on_random_arrays(plan):
    enc = kavrel.Encoder()
    codes = encoded(enc, laid_out(*plan))
    # A native float64 array teaches nothing.
    if codes is None or laid_out(*plan).dtype == np.dtype(np.float64):
        return
    assert_same_table(codes, enc.transform(laid_out(*plan)))

    # Above a row of markers every column turns text, its numbers written
    # as their shortest digits: so transform must code a column of numbers
    # only that was learned as text.
    table = laid_out(*plan).astype(object)
    codes = encoded(enc, np.vstack([table, np.full((1, table.shape[1]), "nan", dtype=object)]))
    if codes is None:
        return
    again = enc.transform(laid_out(*plan))
    assert again.shape == codes[:-1].shape
    assert np.array_equal(again.view(np.uint64), codes[:-1].view(np.uint64))


@FUZZ
@given(frames())
def test_transform_repeats_encode_on_random_frames(plan):
    enc = kavrel.Encoder()
    codes = encoded(enc, make_frame(*plan))
    if codes is None:
        return
    assert_same_table(codes, enc.transform(make_frame(*plan)))

    # Learned as text, columns of numbers that the frame's own storage
    # hands over are coded from their texts too.
    frame = make_frame(*plan)
    if not all(isinstance(dtype, np.dtype) and dtype.kind in "fiub" for dtype in frame.dtypes):
        return
    markers = pd.DataFrame([["nan"] * frame.shape[1]], columns=frame.columns, dtype=object)
    codes = encoded(enc, pd.concat([frame.astype(object), markers], ignore_index=True))
    if codes is None:
        return
    again = enc.transform(make_frame(*plan))
    assert np.array_equal(again.to_numpy().view(np.uint64), codes.to_numpy()[:-1].view(np.uint64))


def test_learned_labels_code_known_texts_and_nothing_else():
    enc = learned_encoder(obj_array([["b", 1.0, 1.0], ["a", 2.0, "x"], ["nan", 3.0, 2.5]]))
    assert enc.labels == {0: ("a", "b"), 2: ("1", "2.5", "x")}
    table = obj_array([
        ["a", 7.5, 2.5],
        ["zz", -1, 1.0],
        ["<NA>", NAN, 3],
        ["NaN", 0, "x"],
        ["nan", True, 1.0],
    ])
    # In the last column the numbers above its first text read as "2.5",
    # "1" and "3", the number below it as "1.0", as encode reads them.
    np.testing.assert_array_equal(
        enc.transform(table),
        [[0, 7.5, 1], [np.nan, -1, 0], [np.nan, np.nan, np.nan], [np.nan, 0, 2], [np.nan, 1, np.nan]])
    # A column of numbers only reads as numbers above a text do.
    assert enc.transform(obj_array([["b", 0, 1.0], ["a", 0, 2.5]]))[:, 2].tolist() == [0.0, 1.0]
    assert enc.transform(np.array([[1.0, 0.0, 2.5]]))[:, 2].tolist() == [1.0]

    # A frame gives a frame with its own column labels and a fresh index.
    enc = learned_encoder(pd.DataFrame({"k": ["x", "y"], 3: [1, 2]}).rename(columns=str))
    result = enc.transform(pd.DataFrame({"k": ["y", "q"], "3": [5, 6]}, index=[7, 9]))
    pd.testing.assert_frame_equal(result, pd.DataFrame({"k": [1.0, NAN], "3": [5.0, 6.0]}))
    # An array of the learned width is coded as well.
    assert enc.transform(obj_array([["x", 4]])).tolist() == [[0.0, 4.0]]


def test_refusals():
    for enc in (kavrel.Encoder(), learned_encoder(np.zeros((2, 2)))):
        with pytest.raises(ValueError, match="learned nothing"):
            enc.transform(obj_column("a"))
    enc = learned_encoder(pd.DataFrame({"a": ["x"], "b": [1.0], "c": ["y"]}))
    with pytest.raises(ValueError, match="^the table has 2 columns, but the Encoder learned a table of 3$"):
        enc.transform(obj_array([["x", 1.0]]))
    with pytest.raises(ValueError, match="^column 2 of the frame is labelled 'd', but the Encoder learned 'c' there$"):
        enc.transform(pd.DataFrame({"a": ["x"], "b": [1.0], "d": ["y"]}))
    with pytest.raises(ValueError, match="^column 1 was learned as numbers, but its cell in row 2 is not a number$"):
        enc.transform(pd.DataFrame({"a": ["x"] * 3, "b": [1.0, 2, "2"], "c": ["y"] * 3}))
    with pytest.raises(ValueError, match="column 1 was learned as numbers, but its cell in row 0"):
        enc.transform(obj_array([["x", "1", "y"]]))
    with pytest.raises(TypeError, match="^Unsupported type: 'list'"):
        enc.transform([["x", 1.0, "y"]])
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'obj'"):
        enc.transform()
    # A refused call leaves what was learned as it was.
    assert enc.labels == {0: ("x",), 2: ("y",)}


def test_from_labels_transforms_as_one_encode_of_the_parts():
    parts = [obj_array([["b", 1.0], ["a", 2.0]]), obj_array([["c", 3.0], ["nan", 4.0]]), obj_array([["a", 5.0]])]
    union = {}
    for part in parts:
        for column, texts in learned_encoder(part).labels.items():
            union.setdefault(column, []).extend(texts)
    merged = kavrel.Encoder.from_labels(union, n_columns=2)
    whole = np.vstack(parts)
    np.testing.assert_array_equal(merged.transform(whole), kavrel.Encoder().encode(whole))
    assert merged.transform(pd.DataFrame({"p": ["d"], "q": [1]})).columns.tolist() == ["p", "q"]


def test_transform_shares_the_encoder_as_decode_does():
    enc = learned_encoder()
    with held_in_str(enc.transform, above="b") as call:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            enc.encode(obj_column("q"))
        assert enc.transform(obj_column("a")).tolist() == [[0.0]]
        assert enc.decode(np.array([[1.0]])).tolist() == [["b"]]
    np.testing.assert_array_equal(call.join(), [[1.0], [NAN]])

    with held_in_str(enc.encode, above="b") as call:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            enc.transform(obj_column("a"))
    call.join()


def test_codes_for_unknown_texts_and_missing_values():
    enc = learned_encoder(obj_array([["b", 1.0, "x"], ["a", 2.0, "y"]]))
    table = obj_array([["a", 7.0, "y"], ["zz", np.nan, "nan"], [None, 1.0, np.nan], ["<NA>", 2.0, pd.NA],
                       ["b", 3.0, "w"]])
    np.testing.assert_array_equal(
        enc.transform(table, unknown=-1, missing=-2),
        [[0, 7, 1], [-1, NAN, -2], [-1, 1, -2], [-2, 2, -2], [1, 3, -1]])
    # The defaults are encode's NaN, bit for bit.
    assert np.array_equal(enc.transform(table).view(np.uint64),
                          enc.transform(table, unknown=NAN, missing=NAN).view(np.uint64))
    # pandas 3 makes a str column of the texts, None missing in it.
    frame = pd.DataFrame(table, columns=["p", "q", "r"])
    np.testing.assert_array_equal(enc.transform(frame, unknown=9.5, missing=np.float32(-3)).to_numpy()[:, 0],
                                  [0, 9.5, -3 if frame.dtypes["p"] != object else 9.5, -3, 1])
    # "error": the first text never learned, in the lowest column.
    with pytest.raises(ValueError, match="^'zz' in column 0 is not a learned label$"):
        enc.transform(table, unknown="error")
    with pytest.raises(ValueError, match="^'w' in column 2 is not a learned label$"):
        enc.transform(table[[0, 3, 4]], unknown="error")
    np.testing.assert_array_equal(enc.transform(table[[0, 3]], unknown="error", missing=5),
                                  [[0, 7, 1], [5, 2, 5]])
    # Numbers of a column learned as text are its texts; a categorical's
    # unused categories are never read.
    enc = learned_encoder(pd.DataFrame({"c": ["1", "u"], "k": pd.Categorical(["p", "q"])}))
    with pytest.raises(ValueError, match="^'2' in column 0 is not a learned label$"):
        enc.transform(pd.DataFrame({"c": [1.0, 2.0], "k": pd.Categorical(["p", "q"])}), unknown="error")
    unused = pd.DataFrame({"c": ["u", "1"], "k": pd.Categorical(["q", "p"], categories=["p", "q", "new"])})
    np.testing.assert_array_equal(enc.transform(unused, unknown="error").to_numpy(), [[1, 1], [0, 0]])

    for kw, error, match in [({"unknown": "raise"}, ValueError, "^unknown must be a number or 'error', not 'raise'$"),
                             ({"missing": "error"}, TypeError, "'str' object is not an instance of 'float'"),
                             ({"unknown": None}, TypeError, "must be real number"),
                             ({"unknwn": 1}, TypeError, "unexpected keyword argument 'unknwn'")]:
        with pytest.raises(error, match=match):
            enc.transform(unused, **kw)
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        enc.transform(unused, -1.0)
