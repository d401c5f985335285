"""encode: which columns are text, the texts of their cells, and their codes."""

import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import DataFrame, assert_float64_array, learned_texts, obj_array, obj_column

NAN = math.nan
HUGE = 10**400


class Indexable:
    """Only the integer protocol: still read as a number."""

    def __index__(self):
        return 7


class Floatable:
    def __float__(self):
        return 2.25


class Named:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def encode_column(*cells):
    return kavrel.Encoder().encode(obj_column(*cells))[:, 0].tolist()


def assert_codes(result, expected):
    """Column codes with NaN standing for NaN."""
    assert len(result) == len(expected)
    for got, want in zip(result, expected):
        if isinstance(want, float) and math.isnan(want):
            assert math.isnan(got), result
        else:
            assert got == want, result


# --- which columns are text -------------------------------------------------


@pytest.mark.parametrize(
    ("cells", "values"),
    [
        ([1, 2.5, True, False, np.int8(3), np.float32(0.5)], [1.0, 2.5, 1.0, 0.0, 3.0, 0.5]),
        ([NAN, NAN], [NAN, NAN]),
        ([math.inf, -math.inf, -0.0], [math.inf, -math.inf, -0.0]),
        ([Fraction(1, 4), Decimal("1.5"), Floatable(), Indexable()], [0.25, 1.5, 2.25, 7.0]),
        ([2**1023, -(2**63)], [float(2**1023), float(-(2**63))]),
        ([np.uint64(2**64 - 1), np.float16(0.5)], [float(2**64 - 1), 0.5]),
    ],
    ids=["mixed-numbers", "only-nan", "infinities", "float-protocol", "big-ints", "numpy-scalars"],
)
def test_column_of_numbers_is_copied(cells, values):
    enc = kavrel.Encoder()
    out = enc.encode(obj_column(*cells))
    assert_float64_array(out, [[v] for v in values])
    # No text column was learned: decoding gives the numbers back as floats.
    back = enc.decode(out)
    assert back.dtype == object
    assert [type(v) for v in back[:, 0]] == [float] * len(cells)


@pytest.mark.parametrize(
    ("cells", "texts", "codes"),
    [
        ([1.0, 2.5, "x", 1.0], ["1", "2.5", "x", "1.0"], [0.0, 2.0, 3.0, 1.0]),
        ([None, 1.0], ["None", "1.0"], [1.0, 0.0]),
        ([1.0, None], ["1", "None"], [0.0, 1.0]),
        (["1.5"], ["1.5"], [0.0]),
        ([HUGE], [str(HUGE)], [0.0]),
        ([1, HUGE], ["1", str(HUGE)], [0.0, 1.0]),
        ([HUGE, 1], [str(HUGE), "1"], [1.0, 0.0]),
        ([-HUGE, 3], [str(-HUGE), "3"], [0.0, 1.0]),
        ([3, "x", 3], ["3", "x", "3"], [0.0, 1.0, 0.0]),
        ([True, "x", True], ["1", "x", "True"], [0.0, 2.0, 1.0]),
        ([np.float32(0.1), "x", np.float32(0.1)], ["0.10000000149011612", "x", "0.1"], [1.0, 2.0, 0.0]),
        ([1e21, "x", 1e21], ["1" + "0" * 21, "x", "1e+21"], [0.0, 2.0, 1.0]),
        ([-0.0, "x", -0.0], ["-0", "x", "-0.0"], [0.0, 2.0, 1.0]),
        ([b"ab", 1.0], ["b'ab'", "1.0"], [1.0, 0.0]),
        ([Named("q"), Named("p")], ["q", "p"], [1.0, 0.0]),
    ],
)
def test_text_column_texts_and_codes(cells, texts, codes):
    enc = kavrel.Encoder()
    out = enc.encode(obj_column(*cells))
    assert_float64_array(out, [[c] for c in codes])
    assert enc.decode(out)[:, 0].tolist() == texts


@pytest.mark.parametrize(
    ("above", "text"),
    [
        (1.0, "1"),
        (100.0, "100"),
        (0.0, "0"),
        (-0.0, "-0"),
        (0.5, "0.5"),
        (0.1, "0.1"),
        (-2.5, "-2.5"),
        (123.456, "123.456"),
        (0.30000000000000004, "0.30000000000000004"),
        (1.5e-7, "0.00000015"),
        (1e-5, "0.00001"),
        (1e16, "1" + "0" * 16),
        (1e21, "1" + "0" * 21),
        (1e23, "1" + "0" * 23),
        (5e-324, "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (2**53 + 1, "9007199254740992"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (np.int64(-7), "-7"),
    ],
)
def test_numbers_above_the_first_text_are_written_positionally(above, text):
    assert learned_texts([above, "zz"]) == [text, "zz"]


def test_nan_above_and_below_the_first_text_are_markers():
    # Above the first text NaN is written "NaN", below it str() gives "nan":
    # both are markers and encode as NaN.
    assert_codes(encode_column(NAN, "x", NAN), [NAN, 0.0, NAN])
    assert learned_texts([NAN, "x", NAN]) == ["NaN", "x", "NaN"]


def test_numpy_string_arrays_are_text():
    table = np.array([["b", "1.5"], ["a", "10"], ["b", "9"]])
    enc = kavrel.Encoder()
    out = enc.encode(table)
    assert_float64_array(out, [[1.0, 0.0], [0.0, 1.0], [1.0, 2.0]])
    assert enc.decode(out).tolist() == table.tolist()


def test_each_text_column_has_its_own_codes():
    table = obj_array(
        [
            [1.0, "b", 10, "x", True],
            [2.0, "a", 20, "x", False],
            [3.0, "c", 30, 7, True],
        ]
    )
    enc = kavrel.Encoder()
    out = enc.encode(table)
    # Column 3 turns to text at row 0; its texts are "x", "x", "7".
    assert_float64_array(
        out,
        [[1.0, 1.0, 10.0, 1.0, 1.0], [2.0, 0.0, 20.0, 1.0, 0.0], [3.0, 2.0, 30.0, 0.0, 1.0]],
    )
    back = enc.decode(out)
    assert back.tolist() == [
        [1.0, "b", 10.0, "x", 1.0],
        [2.0, "a", 20.0, "x", 0.0],
        [3.0, "c", 30.0, "7", 1.0],
    ]
    for c in (0, 2, 4):
        assert all(type(v) is float for v in back[:, c])


# --- order and markers ------------------------------------------------------


@pytest.mark.parametrize(
    ("cells", "codes"),
    [
        (["b", "a", "NaN", "a"], [1.0, 0.0, NAN, 0.0]),
        (["10", "9", "2"], [0.0, 2.0, 1.0]),
        (["b", "B", "a"], [2.0, 0.0, 1.0]),
        (["x", "", "x"], [1.0, 0.0, 1.0]),
        (["same", "same", "same"], [0.0, 0.0, 0.0]),
        (["nan", "<NA>", "nan"], [NAN, NAN, NAN]),
        (["ab", "a", "a\x00", "a\x00b", "b"], [3.0, 0.0, 1.0, 2.0, 4.0]),
        (["é", "z", "\x7f", "\x80", "ÿ", "中"], [3.0, 0.0, 1.0, 2.0, 4.0, 5.0]),
        (["\U0001f600", "\uffff", "\ue000"], [2.0, 1.0, 0.0]),
    ],
    ids=["marker", "digits", "case", "empty", "one-value", "only-markers", "prefix-and-nul", "latin", "astral"],
)
def test_codes_follow_byte_order(cells, codes):
    assert_codes(encode_column(*cells), codes)


def test_only_exact_markers_lose_their_code():
    near_misses = {
        "": 0.0,
        " nan": 1.0,
        "<NA": 2.0,
        "<na>": 3.0,
        "N/A": 4.0,
        "NA": 5.0,
        "NAN": 6.0,
        "Nan": 7.0,
        "None": 8.0,
        "nan\x00": 9.0,
        "nan ": 10.0,
        "null": 11.0,
    }
    cells = ["<NA>", "nan", "NaN", *near_misses, "NaN"]
    expected = [NAN, NAN, NAN, *near_misses.values(), NAN]
    assert_codes(encode_column(*cells), expected)


def test_lone_surrogates_become_replacement_characters():
    enc = kavrel.Encoder()
    out = enc.encode(obj_column("a\ud800", "a\udfff", "a\ufffd"))
    # Each lone surrogate turns into three U+FFFD, so the first two cells
    # are the same text and "a\ufffd" sorts before it.
    assert_float64_array(out, [[1.0], [1.0], [0.0]])
    assert enc.decode(out)[:, 0].tolist() == ["a\ufffd\ufffd\ufffd"] * 2 + ["a\ufffd"]


# --- arrays that hold no text -----------------------------------------------


@pytest.mark.parametrize(
    "table",
    [
        np.array([[1, -2], [3, 2**62]], dtype=np.int64),
        np.array([[True, False]]),
        np.array([[0.1, 2.5], [np.nan, -np.inf]], dtype=np.float32),
        np.array([[1.5]], dtype=np.float16),
        np.array([[255, 0]], dtype=np.uint8),
        np.array([[2**64 - 1]], dtype=np.uint64),
        np.array([[1.0, 2.0]], dtype=">f8"),
    ],
    ids=["int64", "bool", "float32", "float16", "uint8", "uint64", "big-endian-float64"],
)
def test_numeric_arrays_encode_to_float64(table):
    before = table.copy()
    out = kavrel.Encoder().encode(table)
    assert_float64_array(out, table.astype(np.float64))
    np.testing.assert_array_equal(table, before)


@pytest.mark.parametrize("dtype", [np.int64, bool, object])
def test_non_float_array_leaves_empty_learned_state(dtype):
    enc = kavrel.Encoder()
    enc.encode(obj_column("a", "b"))
    enc.encode(np.ones((1, 2), dtype=dtype))
    # The state is replaced by one without text columns: codes stay numbers,
    # but the result is an object array of Python floats.
    out = enc.decode(np.array([[1.0, 0.0]]))
    assert out.dtype == object
    assert out.tolist() == [[1.0, 0.0]]
    assert all(type(v) is float for v in out.ravel())


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
@pytest.mark.parametrize("dtype", [object, np.int64, "U1"])
def test_empty_tables(shape, dtype):
    enc = kavrel.Encoder()
    out = enc.encode(np.empty(shape, dtype=dtype))
    assert_float64_array(out, np.zeros(shape))
    back = enc.decode(np.zeros(shape))
    assert back.dtype == object and back.shape == shape


# --- the float64 fast path --------------------------------------------------


def float64_variants(tmp_path):
    base = np.arange(24, dtype=np.float64).reshape(4, 6) - 5.5
    base[1, 2] = np.nan
    base[2, 3] = -np.inf
    mm = np.memmap(tmp_path / "table.f8", dtype=np.float64, mode="w+", shape=(3, 2))
    mm[:] = [[1.0, 2.0], [np.nan, -0.0], [5.0, 6.0]]
    return {
        "c-order": base,
        "fortran-order": np.asfortranarray(base),
        "sliced": base[::2, ::3],
        "reversed": base[::-1, ::-1],
        "transposed": base.T,
        "one-cell": np.array([[3.25]]),
        "memmap": mm,
    }


@pytest.mark.parametrize(
    "variant", ["c-order", "fortran-order", "sliced", "reversed", "transposed", "one-cell", "memmap"]
)
def test_float64_arrays_are_copied_and_forget_learned_state(tmp_path, variant):
    table = float64_variants(tmp_path)[variant]
    before = np.array(table)
    enc = kavrel.Encoder()
    enc.encode(obj_column("a", "b"))
    out = enc.encode(table)
    assert_float64_array(out, before)
    assert not np.shares_memory(out, table)
    np.testing.assert_array_equal(table, before)
    # The encode left no learned state: decode gives float64 codes back.
    codes = np.array([[1.0], [0.0]])
    assert_float64_array(enc.decode(codes), codes)
    out[...] = 99.0
    np.testing.assert_array_equal(table, before)


class ndarray(np.ndarray):  # noqa: N801 - the name is what is recognised
    """An array type whose Python-level shape and item access both fail."""

    @property
    def shape(self):
        raise AssertionError("shape read through Python")

    def __getitem__(self, key):
        raise AssertionError("item read through Python")


def test_float64_fast_path_reads_no_attribute_or_item(panic_exception):
    table = np.arange(6, dtype=np.float64).reshape(2, 3).view(ndarray)
    out = kavrel.Encoder().encode(table)
    assert_float64_array(out, np.arange(6, dtype=np.float64).reshape(2, 3))
    # Any other dtype is read through shape and items, which fail here.
    with pytest.raises(panic_exception):
        kavrel.Encoder().encode(np.arange(6).reshape(2, 3).view(ndarray))


class StandIn:
    """A table recognised only by the short name of its type."""

    def __init__(self, cells):
        self._cells = cells
        self.shape = cells.shape

    def __getitem__(self, key):
        return self._cells[key]


def test_any_type_named_ndarray_or_memmap_is_an_array():
    cells = obj_array([["b", 1.0], ["a", 2.0]])
    for name in ("ndarray", "memmap"):
        stand_in = type(name, (StandIn,), {})(cells)
        enc = kavrel.Encoder()
        out = enc.encode(stand_in)
        assert_float64_array(out, [[1.0, 1.0], [0.0, 2.0]])
        assert enc.decode(out).tolist() == [["b", 1.0], ["a", 2.0]]


# --- frames -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("columns", "labels"),
    [
        (None, ["0", "1", "2"]),
        (["a", "b", "c"], ["a", "b", "c"]),
        ([-7, 0, 42], ["-7", "0", "42"]),
        (range(0, 6, 2), ["0", "2", "4"]),
        (pd.Index([2**63 - 1, -(2**63), 5], dtype=np.int64), [str(2**63 - 1), str(-(2**63)), "5"]),
        (["é", "", "中"], ["é", "", "中"]),
        ([True, False, True], ["1", "0", "1"]),
    ],
    ids=["default", "strings", "ints", "range", "int64-limits", "unicode", "bools"],
)
def test_frame_labels_become_strings(columns, labels):
    frame = pd.DataFrame([[1.0, "x", 3], [4.0, "y", 6]], columns=columns)
    out = kavrel.Encoder().encode(frame)
    assert type(out) is pd.DataFrame
    assert list(out.columns) == labels
    assert all(type(label) is str for label in out.columns)
    assert (out.dtypes == np.float64).all()
    np.testing.assert_array_equal(out.to_numpy(), [[1.0, 0.0, 3.0], [4.0, 1.0, 6.0]])


@pytest.mark.parametrize(
    ("columns", "error"),
    [
        (["a", 1, "c"], TypeError),
        ([1.5, 2.5, 3.5], TypeError),
        ([1.0, 2.0, 3.0], TypeError),
        (pd.MultiIndex.from_tuples([("a", "x"), ("a", "y"), ("b", "x")]), TypeError),
        (pd.Index([2**63, 1, 2], dtype=np.uint64), OverflowError),
    ],
    ids=["mixed", "floats", "integral-floats", "multi-level", "above-int64"],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_other_frame_labels_are_refused(method, columns, error):
    enc = kavrel.Encoder()
    enc.encode(obj_column("a"))
    frame = pd.DataFrame([[1.0, 2.0, 3.0]], columns=columns)
    with pytest.raises(error):
        getattr(enc, method)(frame)
    assert enc.decode(np.array([[0.0]])).tolist() == [["a"]]


def test_frame_result_has_default_index_and_float_columns():
    frame = pd.DataFrame(
        {
            "i": [3, 1, 2],
            "f": [0.5, np.nan, 1.5],
            "b": [True, False, True],
            "s": ["q", "p", "q"],
            "c": pd.Categorical(["y", "x", "y"]),
        },
        index=["r1", "r2", "r3"],
    )
    before = frame.copy()
    enc = kavrel.Encoder()
    out = enc.encode(frame)
    assert type(out.index) is pd.RangeIndex and list(out.index) == [0, 1, 2]
    assert list(out.columns) == ["i", "f", "b", "s", "c"]
    assert (out.dtypes == np.float64).all()
    np.testing.assert_array_equal(
        out.to_numpy(),
        [[3.0, 0.5, 1.0, 1.0, 1.0], [1.0, np.nan, 0.0, 0.0, 0.0], [2.0, 1.5, 1.0, 1.0, 1.0]],
    )
    pd.testing.assert_frame_equal(frame, before)


@pytest.mark.parametrize(
    ("column", "codes"),
    [
        (pd.array(["b", pd.NA, "a"], dtype="string"), [1.0, NAN, 0.0]),
        (pd.Series(["b", None, "a"], dtype=pd.StringDtype(na_value=np.nan)), [1.0, NAN, 0.0]),
        (pd.Series(["b", None, "a"], dtype=object), [2.0, 0.0, 1.0]),
        (pd.Series([np.nan, "b", "a"], dtype=object), [NAN, 1.0, 0.0]),
    ],
    ids=["string-pd-NA", "string-nan", "object-None", "object-nan-first"],
)
def test_frame_missing_values(column, codes):
    # pd.NA reads as "<NA>" and float NaN as "nan" or "NaN": markers. None is
    # the ordinary text "None".
    frame = pd.DataFrame({"s": column, "n": [1.0, 2.0, 3.0]})
    out = kavrel.Encoder().encode(frame)
    assert_codes(out["s"].tolist(), codes)
    assert out["n"].tolist() == [1.0, 2.0, 3.0]


def test_frame_of_float64_columns_still_learns_state():
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, np.nan]})
    enc = kavrel.Encoder()
    out = enc.encode(frame)
    pd.testing.assert_frame_equal(out, frame)
    # Learned state without text columns: an array decodes to objects.
    assert enc.decode(np.array([[1.0]])).dtype == object


@pytest.mark.parametrize("shape", [(0, 2), (2, 0)])
def test_empty_frames(shape):
    frame = pd.DataFrame(np.empty(shape, dtype=object), columns=["a", "b"][: shape[1]])
    out = kavrel.Encoder().encode(frame)
    assert type(out) is pd.DataFrame
    assert out.shape == shape
    assert list(out.columns) == ["a", "b"][: shape[1]]


def test_any_type_named_dataframe_is_a_frame():
    stand_in = DataFrame(["a", "b"], obj_array([["y", 1], ["x", 2]]))
    out = kavrel.Encoder().encode(stand_in)
    assert type(out) is pd.DataFrame
    assert list(out.columns) == ["a", "b"]
    np.testing.assert_array_equal(out.to_numpy(), [[1.0, 1.0], [0.0, 2.0]])


# --- inputs are left alone --------------------------------------------------


def test_inputs_are_not_modified():
    cells = [["b", 1.0, None], [HUGE, 2, "c"], [NAN, True, "<NA>"]]
    table = obj_array(cells)
    strings = np.array([["b", "a"], ["c", "a"]])
    frame = pd.DataFrame({"x": ["q", "p"], "y": [1, 2]}, index=[5, 6])
    frame_before = frame.copy()
    enc = kavrel.Encoder()
    for method in (enc.encode, enc.decode):
        method(table)
        method(strings)
        method(frame)
    for r, row in enumerate(cells):
        for c, cell in enumerate(row):
            assert table[r, c] is cell
    assert strings.tolist() == [["b", "a"], ["c", "a"]]
    pd.testing.assert_frame_equal(frame, frame_before)


def test_large_results_reuse_freed_buffers_but_never_their_codes():
    """A result of several MiB is written into memory an earlier, freed
    result held: every cell must still be this call's, and the array must
    behave as one of numpy's own."""
    rows = 400_000  # 3 columns of float64: a 9.6 MB result
    texts = np.array(["b", "a", "c", "nan"], dtype=object)[np.arange(rows) % 4]
    table = np.empty((rows, 3), dtype=object)
    table[:, 0], table[:, 1], table[:, 2] = texts, (np.arange(rows) % 7).tolist(), texts[::-1]
    expected = np.empty((rows, 3))
    codes = np.array([1.0, 0.0, 2.0, np.nan])[np.arange(rows) % 4]
    expected[:, 0], expected[:, 1], expected[:, 2] = codes, np.arange(rows) % 7, codes[::-1]

    enc = kavrel.Encoder()
    for _ in range(3):
        del_me = enc.encode(np.full((rows, 3), "x", dtype=object))  # a result of zeros
        del del_me
        kept = enc.encode(table)
        np.testing.assert_array_equal(kept, expected)
        frame = enc.encode(pd.DataFrame(table, columns=["p", "q", "r"]))
        np.testing.assert_array_equal(frame.to_numpy(), expected)
        del frame
        np.testing.assert_array_equal(kept, expected)  # untouched by later calls

    kept.resize((10, 3), refcheck=False)  # keeps the first 30 cells in memory
    assert kept.flags.owndata and kept.base is None
    np.testing.assert_array_equal(kept.ravel(order="K"), expected.ravel(order="F")[:30])
