"""Exact numpy arrays are read and written directly; every result must equal
the one of the item-by-item road, which a subclass named "ndarray" takes."""

import numpy as np
import pytest

import kavrel
from conftest import GeneralFrame, ndarray, same_cells



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


def test_every_float16_reads_as_its_scalar():
    # NaN sign and payload as float() of numpy's scalar keeps them.
    assert_same(np.arange(2**16, dtype=np.uint16).view(np.float16).reshape(256, 256))


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
                   cells.view(ndarray), pd.DataFrame(cells, dtype=object), GeneralFrame(cells, dtype=object)]
        failures = [failure(source) for source in sources]
        assert failures == [failures[0]] * len(sources), code_points
        assert failures[0][0] == "UnicodeEncodeError" and "not in range(0x110000)" in failures[0][1]
        # pyarrow stores the text as CPython encodes it, F4 90 80 80: the
        # frame's values then fail as they do on the other road.
        assert failure(pd.DataFrame(cells)) == failure(GeneralFrame(cells))
