"""Exact numpy arrays are read and written directly; every result must equal
the one of the item-by-item road, which a subclass named "ndarray" takes."""

import math

import numpy as np
import pytest

import kavrel
from conftest import FailingStr, same_cells


class ndarray(np.ndarray):  # noqa: N801 - the name is what routes it
    pass


class Text(str):
    pass


class Real(float):
    def __str__(self):
        return "real:" + float.__repr__(self)


def both_roads(table):
    """(direct result, item-by-item result) of encode and of a following decode."""
    table = np.asarray(table)
    slow_input = table.view(ndarray)
    assert type(slow_input).__name__ == "ndarray" and type(slow_input) is not np.ndarray
    fast_enc, slow_enc = kavrel.Encoder(), kavrel.Encoder()
    fast, slow = fast_enc.encode(table), slow_enc.encode(slow_input)
    return (fast, fast_enc.decode(fast)), (slow, slow_enc.decode(slow))


def assert_same(table):
    (fast_codes, fast_text), (slow_codes, slow_text) = both_roads(table)
    assert fast_codes.dtype == np.float64
    assert np.array_equal(fast_codes.view(np.uint64), slow_codes.view(np.uint64))
    same_cells(fast_text, slow_text)


@pytest.mark.parametrize(
    "dtype",
    ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32"],
)
def test_numeric_dtypes_read_the_same(dtype):
    info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
    values = [0, 1, 3, 7, 100] if info is None else [info.min, info.max, 0, 1, info.max // 3]
    table = np.array(values * 2, dtype=dtype).reshape(5, 2)
    if np.dtype(dtype).kind == "f":
        table = np.array([[0.1, -0.0], [np.nan, np.inf], [-np.inf, 65504], [1e-7, 3.5], [2, 1]], dtype=dtype)
    assert_same(table)
    assert_same(np.asfortranarray(table))
    assert_same(table[::2, ::-1])


def test_every_float16_reads_as_its_scalar():
    # NaN sign and payload as float() of numpy's scalar keeps them.
    assert_same(np.arange(2**16, dtype=np.uint16).view(np.float16).reshape(256, 256))


def test_unicode_arrays_read_the_same():
    table = np.array(
        [["b", "Zürich", "nan"], ["a\x00b", "中文", "NaN"], ["", "ö\udc80", "<NA>"], ["b", "ß", "x" * 40]]
    )
    assert table.dtype.kind == "U"
    assert_same(table)
    assert_same(table.T)


@pytest.mark.parametrize(
    "column",
    [
        ["b", "a", "nan", "a", "NaN", "<NA>", "None", ""],
        [1.0, 2.5, "x", 1.0, 2.5, float("nan"), -0.0, float("inf")],
        [None, 1.0, 3, True, False, 10**400, -(10**30), 2**63],
        [1, 10**400, 2, "z"],
        [np.int64(5), np.float32(0.25), np.float16(1.5), "s", np.int64(5), np.bool_(True)],
        [Text("label"), "label", Text("x"), 1.5],
        [Real(1.5), Real(2.0), "x", Real(1.5)],
        ["é", "e", "\udc80", "\ud800\udc00", "z", "É"],
        [float("nan"), float("nan"), "x", float("nan")],
        [0.1, 1e23, 1.5e-7, -1e21, 5e-324, "t"],
    ],
)
def test_object_columns_read_the_same(column):
    table = np.empty((len(column), 2), dtype=object)
    table[:, 0] = column
    table[:, 1] = column[::-1]
    assert_same(table)


def test_failures_are_the_same():
    table = np.array([["a"], [FailingStr()]], dtype=object)
    messages = []
    for source in (table, table.view(ndarray)):
        with pytest.raises(BaseException) as caught:
            kavrel.Encoder().encode(source)
        assert type(caught.value).__name__ == "PanicException"
        messages.append(str(caught.value).split(":")[0])
    assert messages == ["cant convert to str"] * 2


def test_code_points_beyond_unicode_fail_as_the_item_read_does(panic_exception):
    # No str holds U+110000: the item read raises, and so must the direct read.
    table = np.array([[0x61, 0x110000], [0x62, 0x63]], np.uint32).view("<U1")
    messages = []
    for source in (table, table.view(ndarray)):
        with pytest.raises(panic_exception) as caught:
            kavrel.Encoder().encode(source)
        messages.append(str(caught.value))
    assert messages[0] == messages[1]
    assert "SystemError" in messages[0]


def test_decode_shares_labels_and_releases_them():
    import gc
    import tracemalloc

    enc = kavrel.Encoder()
    label = "".join(["shared", "-label"])  # a fresh object, not interned
    table = np.array([[label, 1.0]] * 1000, dtype=object)
    codes = enc.encode(table)
    out = enc.decode(codes)
    assert out[:, 0].tolist() == [label] * 1000
    # The 1000 cells hold one str made by decode, not the input's.
    assert len({id(x) for x in out[:, 0]}) == 1 and out[0, 0] is not label
    del out

    # A leak loop: repeated decodes must not leave memory behind.
    for _ in range(3):
        enc.decode(codes)
    gc.collect()
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    for _ in range(50):
        enc.decode(codes)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    assert grown < 50_000, grown


def test_text_beyond_unicode_is_refused_on_every_road():
    # numpy's item read of these elements builds a str holding U+110000
    # (CPython's scan for the widest code point stops at the first one of
    # four bytes; only a string of one code point is checked, as above).
    # Such text has no UTF-8: every road refuses it alike, and the encoder
    # keeps what it had learned.
    import pandas as pd

    class DataFrame(pd.DataFrame):
        pass

    def failure(source):
        enc = kavrel.Encoder()
        codes = enc.encode(np.array([["a"]]))
        with pytest.raises(BaseException) as caught:  # noqa: PT011 - compared below
            enc.encode(source)
        assert enc.decode(codes).tolist() == [["a"]]
        return type(caught.value).__name__, str(caught.value)

    for code_points in ([0x10000, 0x110000], [0x61, 0x110000], [0x110000, 0x10FFFF, 0x62]):
        table = np.array([code_points, [0x62] * len(code_points)], np.uint32).view(f"<U{len(code_points)}")
        cells = table.astype(object)
        sources = [table, table.view(ndarray), table.astype(table.dtype.newbyteorder()), cells,
                   cells.view(ndarray), pd.DataFrame(cells, dtype=object), DataFrame(cells, dtype=object)]
        failures = [failure(source) for source in sources]
        assert failures == [failures[0]] * len(sources), code_points
        assert failures[0][0] == "UnicodeEncodeError" and "not in range(0x110000)" in failures[0][1]
        # pyarrow stores the text as CPython encodes it, F4 90 80 80: the
        # frame's values then fail as they do on the other road.
        assert failure(pd.DataFrame(cells)) == failure(DataFrame(cells))
