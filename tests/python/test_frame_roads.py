"""Exact pandas frames are read from their columns' own storage (numpy
arrays, Arrow buffers, categories), and numpy StringDType arrays from
numpy's; every result must equal the one of the general road, which a
subclass named "DataFrame" (through the frame's values) or "ndarray" (item
by item) takes."""

import ctypes
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import kavrel
from conftest import GeneralFrame, ndarray, obj_array, run_python, same_cells




def outcome(table):
    """("encoded", codes, decoded, warnings) or ("raised", class name,
    message, warnings); the warnings shown under the filters in force."""
    enc = kavrel.Encoder()
    with warnings.catch_warnings(record=True) as shown:
        try:
            codes = enc.encode(table)
        except BaseException as exc:  # noqa: BLE001 - PanicException is the point
            result = ("raised", type(exc).__name__, str(exc))
        else:
            result = ("encoded", codes, enc.decode(codes))
    return (*result, [(w.category, str(w.message)) for w in shown])


def assert_same_frames(direct, general):
    assert type(direct) is pd.DataFrame and type(general) is pd.DataFrame
    assert list(direct.columns) == list(general.columns)
    assert direct.index.equals(general.index)
    assert list(direct.dtypes) == list(general.dtypes)
    for c in range(direct.shape[1]):
        same_cells(direct.iloc[:, c].to_numpy(), general.iloc[:, c].to_numpy())


def assert_same_roads(frame, general=None):
    """`general`: the same frame as a DataFrame subclass, made apart when
    reading `frame` may change it."""
    assert type(frame) is pd.DataFrame
    direct, general = outcome(frame), outcome(GeneralFrame(frame) if general is None else general)
    assert direct[0] == general[0], (direct, general)
    assert direct[3] == general[3]
    if direct[0] == "raised":
        assert direct[1:] == general[1:]
        return direct
    codes, general_codes = direct[1], general[1]
    assert_same_frames(codes, general_codes)
    # Bit for bit, NaN payloads included.
    assert np.array_equal(codes.to_numpy().view(np.uint64), general_codes.to_numpy().view(np.uint64))
    assert_same_frames(direct[2], general[2])
    return direct


# --- the frames ---------------------------------------------------------------

TEXTS = ["a", "b", "B", "é", "中文", "", "<NA>", "nan", "NaN", "None", "1.5", "x\x00y", "ß" * 9, "long text " * 3]
STRING_DTYPES = {
    "str (Arrow)": pd.StringDtype("pyarrow", na_value=np.nan),
    "str (Python)": pd.StringDtype("python", na_value=np.nan),
    "string (Arrow)": pd.StringDtype("pyarrow"),
}


def test_larger_frames_read_as_their_values():
    rng = np.random.default_rng(5)
    n = 3000
    words = np.array(TEXTS, dtype=object)[rng.integers(0, len(TEXTS), n)]
    words[rng.random(n) < 0.1] = None
    objects = words.copy()
    objects[rng.random(n) < 0.2] = 2.5
    frame = pd.DataFrame({
        "str": pd.array(words, dtype=STRING_DTYPES["str (Arrow)"]),
        "string": pd.array(words, dtype="string"),
        "python": pd.array(words, dtype=STRING_DTYPES["str (Python)"]),
        "obj": pd.Series(objects, dtype=object),
        "cat": pd.Categorical(words),
        "f": rng.standard_normal(n),
        "i": rng.integers(-5, 5, n),
    })
    assert_same_roads(frame)
    assert_same_roads(frame.iloc[::-3])  # columns that are views with strides


class NaT(type(pd.NaT)):
    pass


class Float64(np.float64):
    pass


class Float32(np.float32):
    pass


class Int64(np.int64):
    pass


def values_reads(monkeypatch):
    """The list that gets an entry at each read of a pandas frame's values."""
    reads = []
    values = pd.DataFrame.values
    monkeypatch.setattr(pd.DataFrame, "values", property(lambda self: reads.append(1) or values.fget(self)))
    return reads


def test_the_road_is_chosen_by_type_dtypes_and_cells(monkeypatch):
    reads = values_reads(monkeypatch)
    # Object cells of the interpreter's, numpy's and pandas' own types,
    # whose reading runs no Python code; float32 quiet NaN, float16 numbers.
    native = [1, "a", 2.5, True, None, pd.NA, pd.NaT, np.float64(1.5), np.float32(0.5), np.float16(2),
              np.int8(-3), np.uint64(2**64 - 1), np.bool_(True)]
    n = len(native)
    road_dtypes = pd.DataFrame({
        "s": pd.array(["a", None] * (n // 2) + ["b"], dtype="string"),
        "c": pd.Categorical(["x", "y"] * (n // 2) + ["x"]), "f": np.arange(n, dtype=float),
        "o": pd.Series(native, dtype=object), "u": np.arange(n, dtype=np.uint8),
        "q": np.array([np.nan, 1] * (n // 2) + [np.nan], np.float32), "h": np.arange(n, dtype=np.float16),
    })
    kavrel.Encoder().encode(road_dtypes)
    assert reads == []
    kavrel.Encoder().encode(GeneralFrame(road_dtypes))
    assert reads == [1]
    # Cells whose reading may run Python code (subclasses of the types
    # read natively, and types not known to be compiled all through), and
    # numbers that values casts otherwise than they are read.
    reads.clear()
    for cell in [Float64(1.5), Float32(0.5), Int64(2), NaT(), pd.Timestamp("2020-01-01"), np.longdouble(1),
                 np.complex128(1), np.str_("a"), type("Text", (str,), {})("a")]:
        kavrel.Encoder().encode(road_dtypes.assign(o=pd.Series([cell] * n, dtype=object)))
    others = [road_dtypes.assign(t=pd.to_datetime(["2020-01-01", None] * (n // 2) + [None])),
              road_dtypes.assign(h=np.array([np.nan] * n, np.float16)),
              road_dtypes.assign(q=np.array([0x7F800001] * n, np.uint32).view(np.float32)),
              road_dtypes.iloc[:0], road_dtypes.iloc[:, :0]]
    for frame in others:
        kavrel.Encoder().encode(frame)
    assert reads == [1] * (9 + len(others))


class Writer:
    """A cell whose str() and float() make `write(frame)` of the frame being
    read, the first time either runs."""

    def __init__(self, write):
        self.write, self.frame = write, None

    def run(self):
        if self.frame is not None:
            frame, self.frame = self.frame, None
            self.write(frame)

    def __str__(self):
        self.run()
        return "w"

    def __float__(self):
        self.run()
        return 7.0


WRITES = {
    "iloc number": lambda f: f.iloc.__setitem__((2, 1), -1.0),
    "iloc text": lambda f: f.iloc.__setitem__((2, 0), "z"),
    "loc column": lambda f: f.loc.__setitem__((slice(None), "t"), "q"),
    "fillna": lambda f: f.fillna(0.5, inplace=True),
    "replace": lambda f: f.replace("a", "r", inplace=True),
}


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_cells_that_write_into_the_frame_read_as_values(write):
    # A column of objects and numbers, one of floats, one of texts, one of
    # Arrow strings: in a block per dtype, or all in one block of objects
    # (where values is a view of the block that the columns are not).  The
    # writer's column first, or last, after text columns already read whole.
    dtypes = {"o": object, "f": None, "t": object, "s": STRING_DTYPES["str (Arrow)"]}

    def make(cls, first, mixed, order):
        writer = Writer(write)
        # Its float() runs first, or its str() after a text.
        cells = [writer, "a", 2.0, np.nan] if first == "float" else ["a", writer, 1.5, np.nan]
        all_columns = {"o": cells, "f": [1.0, np.nan, 3.0, 4.0], "t": ["a", "b", None, "a"], "s": list("xyxz")}
        columns = {k: all_columns[k] for k in order}
        frame = (cls({k: pd.array(v, dtype=dtypes[k]) for k, v in columns.items()}) if mixed
                 else cls(obj_array(zip(*columns.values())), columns=list(columns), dtype=object))
        writer.frame = frame
        return frame

    for first in ("float", "str"):
        for mixed in (True, False):
            for order in ("oft", "tfso"):
                assert_same_roads(make(pd.DataFrame, first, mixed, order), make(GeneralFrame, first, mixed, order))


def test_categories_whose_missing_value_values_casts():
    # With only bool columns beside it, values is a bool array, and the
    # missing cell of a bool categorical becomes True in it.
    frame = pd.DataFrame({"c": pd.Categorical([True, None, False]), "b": [True, False, True],
                          "d": pd.Categorical([True, True, True])})
    assert_same_roads(frame)
    assert_same_roads(frame[["c", "d"]])


def test_float16_and_float32_nan_as_values_casts_them():
    # Every float16, NaN payloads and signs included, whatever values casts
    # it to; float32 signalling NaN, whose cast to float64 warns.
    halves = np.arange(2**16, dtype=np.uint16).view(np.float16)
    n = len(halves)
    for other in (np.zeros(n), np.zeros(n, np.float32), pd.Series(["x"] * n, dtype=object)):
        assert_same_roads(pd.DataFrame({"h": halves, "o": other}))
    signalling = np.array([0x7F800001, 0xFFA00000, 0x7FC00000, 0], np.uint32).view(np.float32)
    for action in ("error", "always"):
        with warnings.catch_warnings():
            warnings.simplefilter(action)
            for other in (np.zeros(4), np.zeros(4, np.int16), pd.Series(["x"] * 4, dtype=object)):
                assert_same_roads(pd.DataFrame({"s": signalling, "o": other}))


def test_frames_without_cells_read_values():
    # values raises for a dtype that pandas cannot turn into an array.
    empty = pd.DataFrame({"s": pd.array([], dtype=pd.ArrowDtype(pa.string_view()))})
    assert assert_same_roads(empty)[:2] == ("raised", "PanicException")
    assert_same_roads(pd.DataFrame(index=range(3)))


# --- Arrow layouts that pandas itself does not keep ---------------------------

def arrow_string_array_type():
    return type(pd.array(["a"], dtype="string[pyarrow]"))


def test_arrow_bytes_that_are_no_text_go_through_values(monkeypatch):
    # The stream is replaced by one whose second string holds `raw`: well
    # formed, it is read from there; otherwise values is read, which knows
    # nothing of the replaced stream.
    def encoded_with_stream_holding(raw):
        def export(self, type=None):  # noqa: A002 - the protocol's name
            offsets = pa.py_buffer(np.array([0, 1, 1 + len(raw)], np.int64).tobytes())
            data = pa.py_buffer(b"a" + raw)
            return pa.chunked_array([pa.Array.from_buffers(pa.large_string(), 2, [None, offsets, data])])

        frame = pd.DataFrame({"s": pd.array(["a", "b"], dtype=STRING_DTYPES["string (Arrow)"])})
        with monkeypatch.context() as patch:
            patch.setattr(type(frame["s"].array), "__arrow_array__", export)
            enc = kavrel.Encoder()
            return enc.decode(enc.encode(frame))["s"].tolist()

    assert encoded_with_stream_holding("ö".encode()) == ["a", "ö"]
    for raw in [b"\xff", b"a\xc3", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80", b"\x80"]:
        assert encoded_with_stream_holding(raw) == ["a", "b"], raw
    # A buffer of megabytes is checked in pieces: a character across the
    # first cut is whole, a stray continuation byte right at it is not.
    mib, tail = 2**20, b"z" * 2**21
    across = b"y" * (mib - 2) + "é".encode() + tail  # "é" at bytes 2**20 - 1 and 2**20 of the buffer
    assert encoded_with_stream_holding(across) == ["a", across.decode()]
    stray = b"y" * (mib - 1) + b"\x80" + tail
    assert encoded_with_stream_holding(stray) == ["a", "b"]


# --- numpy StringDType arrays --------------------------------------------------

StringDType = getattr(np.dtypes, "StringDType", None)
needs_string_dtype = pytest.mark.skipif(StringDType is None, reason="numpy without StringDType")


def assert_same_array_roads(table):
    direct, general = outcome(table), outcome(table.view(ndarray))
    assert direct[0] == general[0] and (direct[0] == "encoded" or direct[1:] == general[1:])
    if direct[0] == "encoded":
        assert np.array_equal(direct[1].view(np.uint64), general[1].view(np.uint64))
        same_cells(direct[2], general[2])


def test_arrow_views_outside_their_buffers_go_through_values():
    # pyarrow builds string_view arrays from raw buffers without checking
    # the views (pandas' own cast of one reads out of bounds): the stream
    # handed over says the second string lies in a 40-byte buffer where
    # it says, and unless it does, the frame is read through values.
    code = r"""
import struct
import numpy as np, pandas as pd, pyarrow as pa
import kavrel

def encoded_with_second_view(length, buffer, offset):
    views = struct.pack("<i12s", 1, b"a") + struct.pack("<i4sii", length, b"xxxx", buffer, offset)
    chunk = pa.Array.from_buffers(pa.string_view(), 2, [None, pa.py_buffer(views), pa.py_buffer(b"x" * 40)])
    frame = pd.DataFrame({"s": pd.array(["a", "b"], dtype=pd.StringDtype("pyarrow"))})
    type(frame["s"].array).__arrow_array__ = lambda self, type=None: pa.chunked_array([chunk])
    enc = kavrel.Encoder()
    return enc.decode(enc.encode(frame))["s"].tolist()

print(encoded_with_second_view(20, 0, 20) == ["a", "x" * 20])
for view in [(-5, 0, 0), (-1, 0, 0), (20, 0, 100), (20, 0, -8), (20, 1, 0), (20, -1, 0), (20, 0, 21),
             (2**31 - 1, 0, 2**31 - 1)]:
    print(view, encoded_with_second_view(*view))
"""
    lines = run_python(code).splitlines()
    assert lines[0] == "True"
    assert all(line.endswith(" ['a', 'b']") for line in lines[1:]), lines


def string_dtype_holding_bytes(raw):
    """A 1 x 2 StringDType array of "ok" and the bytes `raw` (at most 15),
    stored as they are, text or not.  numpy checks what it stores (a cast
    from bytes too, since 2.5), so a text of as many ASCII bytes is stored
    first and then overwritten where a short string keeps its bytes: at the
    start of its own 16-byte element (little-endian layout)."""
    assert 0 < len(raw) < 16
    table = np.array([["ok", "x" * len(raw)]], dtype=StringDType())
    cell = table.ctypes.data + table.strides[1]
    ctypes.memmove(cell, raw, len(raw))
    assert ctypes.string_at(cell, len(raw)) == raw
    return table


@needs_string_dtype
def test_string_dtype_bytes_that_are_no_text_fail_as_the_item_read_does():
    # The item read fails to decode such bytes, and so must the direct read
    # rather than learn them.
    for raw in [b"\xff\xfe", b"\xf4\x90\x80\x80", b"\xed\xa0\x80", b"a\xc3"]:
        table = string_dtype_holding_bytes(raw)
        with pytest.raises(UnicodeDecodeError):
            table[0, 1]  # the bytes are where numpy reads the string
        assert outcome(table)[0] == "raised", raw
        assert_same_array_roads(table)
