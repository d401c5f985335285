"""Calls release every reference they take, on success and on failure."""

import gc
import sys
import weakref

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import FailingStr, obj_array


class Text(str):
    """A str subclass, so that a returned text is an object we can count."""


class Cell:
    """A text cell whose str() returns one shared object."""

    def __init__(self, text):
        self.text = Text(text)

    def __str__(self):
        return self.text


class Number:
    """A numeric cell read through the float protocol."""

    def __float__(self):
        return 1.5


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def run_repeatedly(call, times=5):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: BLE001 - failures are part of what is counted
            pass


def test_cells_inputs_and_texts_are_released(panic_exception):
    text_cells = [Cell("b"), Cell("a")]
    number_cells = [Number(), Number()]
    table = obj_array([[text_cells[0], number_cells[0]], ["x", number_cells[1]], [text_cells[1], 2.0]])
    failing = obj_array([["x", FailingStr()], [text_cells[0], number_cells[0]]])
    frame = pd.DataFrame(table, columns=["t", "n"], dtype=object)
    watched = [*text_cells, *number_cells, *(c.text for c in text_cells), table, failing, frame]

    enc = kavrel.Encoder()
    codes = enc.encode(table)
    calls = [
        lambda: enc.encode(table),
        lambda: enc.decode(table),
        lambda: enc.encode(frame),
        lambda: enc.decode(frame),
        lambda: enc.encode(failing),
        lambda: enc.decode(failing),
        lambda: enc.decode(codes),
    ]
    # A first round lets pandas fill whatever it caches on the frame.
    for call in calls:
        run_repeatedly(call, times=1)
    before = counts(watched)
    # Each call returns a new object or raises; none may keep a reference
    # to a cell, to the text a cell gave, or to its input.
    for call in calls:
        run_repeatedly(call)
    assert counts(watched) == before


@pytest.mark.parametrize(
    "make",
    [
        lambda enc: enc.encode(np.zeros((2, 2))),
        lambda enc: enc.encode(obj_array([["a", 1.0]])),
        lambda enc: enc.decode(np.zeros((1, 2))),
        lambda enc: enc.encode(pd.DataFrame({"a": ["x"], "b": [1.0]})),
        lambda enc: enc.decode(pd.DataFrame({"a": [0.0], "b": [1.0]})),
    ],
    ids=["float64", "object", "decode-array", "frame", "decode-frame"],
)
def test_results_are_freed_with_their_last_reference(make):
    enc = kavrel.Encoder()
    enc.encode(obj_array([["a", 1.0]]))
    result = make(enc)
    ref = weakref.ref(result)
    del result
    gc.collect()
    assert ref() is None


class EvictsItself:
    """A cell whose number test drops the array's reference to it, its last,
    before its str() is asked for."""

    def __init__(self, table, row, col):
        self.table, self.row, self.col = table, row, col

    def __float__(self):
        self.table[self.row, self.col] = "replaced"
        self.table = None
        raise TypeError("not a number")

    def __str__(self):
        return "evicted"


def test_a_cell_that_removes_itself_from_the_array_is_read_safely():
    table = np.empty((3, 1), dtype=object)
    table[0, 0] = 1.0
    for r in (1, 2):
        table[r, 0] = EvictsItself(table, r, 0)
    alive = weakref.ref(table[1, 0])
    codes = kavrel.Encoder().encode(table)
    # "1" < "evicted"; each cell was read whole, as it stood when its turn came.
    np.testing.assert_array_equal(codes[:, 0], [0.0, 1.0, 1.0])
    assert alive() is None
    assert table[1, 0] == "replaced"


class Swaps:
    """A cell whose str() frees the text of row 0 and puts fresh text in row 2."""

    def __init__(self, table):
        self.table = table

    def __str__(self):
        self.table[0, 0] = 0.0
        self.table[2, 0] = "".join(["bb", "b"])
        return "x"


def test_text_put_into_the_array_during_reading_is_read_as_it_is():
    for _ in range(20):  # a freed address is often reused at once: try several
        table = np.empty((3, 1), dtype=object)
        table[0, 0] = "".join(["aa", "a"])  # referenced by the array alone
        table[1, 0] = Swaps(table)
        table[2, 0] = "placeholder"
        codes = kavrel.Encoder().encode(table)
        np.testing.assert_array_equal(codes[:, 0], [0.0, 2.0, 1.0])  # "aaa" < "bbb" < "x"
