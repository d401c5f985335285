"""Failures at the Python boundary: classes, messages and the state left behind."""

import warnings

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import DataFrame, FailingStr, learned_encoder, obj_array, obj_column

UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame, polars.DataFrame"


class NonStringStr:
    """A cell whose __str__ returns something that is not a string."""

    def __str__(self):
        return 42


# Text columns 0 and 1: {"a": 0, "b": 1} and {"x": 0}.
LEARNED = obj_array([["b", "x"], ["a", "x"]])


def assert_still_learned(enc):
    """`enc` is free and still holds the state learned from LEARNED."""
    out = enc.decode(np.array([[0.0, 0.0], [1.0, 5.0]]))
    assert out.tolist() == [["a", "x"], ["b", "NaN"]]


def test_panic_exception_class(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)


def test_panic_is_not_caught_by_except_exception(panic_exception):
    enc = kavrel.Encoder()
    with pytest.raises(panic_exception) as excinfo:
        try:
            enc.encode(np.zeros(3))
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("except Exception caught the internal failure")
    exc = excinfo.value
    assert len(exc.args) == 1 and isinstance(exc.args[0], str)
    assert str(exc) == exc.args[0]
    # One class per process, whatever failure raised it.
    with pytest.raises(BaseException) as second:
        enc.encode(obj_column("a", FailingStr()))
    assert type(second.value) is panic_exception


@pytest.mark.parametrize(
    "table",
    [
        np.zeros(3),
        np.arange(3),
        np.array(["a", "b"]),
        np.array([], dtype=object),
        np.zeros((2, 2, 2)),
        np.array(1.0),
    ],
    ids=["float64-1d", "int64-1d", "str-1d", "empty-object-1d", "3d", "0d"],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_array_that_is_not_two_dimensional_is_an_internal_failure(panic_exception, method, table):
    enc = learned_encoder(LEARNED)
    before = table.copy()
    with pytest.raises(panic_exception):
        getattr(enc, method)(table)
    np.testing.assert_array_equal(table, before)
    assert_still_learned(enc)


@pytest.mark.parametrize(
    ("make", "type_name"),
    [
        (lambda: [[1.0]], "list"),
        (lambda: ((1.0,),), "tuple"),
        (lambda: {"a": [1]}, "dict"),
        (lambda: None, "NoneType"),
        (lambda: "table", "str"),
        (lambda: 1.5, "float"),
        (lambda: pd.Series([1.0]), "Series"),
        (lambda: np.float64(1.0), "float64"),
    ],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_unsupported_type_prints_its_name_and_raises(capfd, method, make, type_name):
    enc = learned_encoder(LEARNED)
    obj = make()
    capfd.readouterr()
    with pytest.raises(TypeError) as excinfo:
        getattr(enc, method)(obj)
    assert str(excinfo.value) == UNSUPPORTED.format(type_name)
    assert capfd.readouterr().out == f"{type_name}\n"
    assert_still_learned(enc)


def test_ndarray_subclass_with_another_name_is_refused(capfd):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        matrix = np.matrix([[1.0, 2.0]])
    capfd.readouterr()
    with pytest.raises(TypeError) as excinfo:
        kavrel.Encoder().encode(matrix)
    assert str(excinfo.value) == UNSUPPORTED.format("matrix")
    assert capfd.readouterr().out == "matrix\n"


@pytest.mark.parametrize("cell", [FailingStr(), NonStringStr()], ids=["raises", "returns-int"])
@pytest.mark.parametrize("below_text", [True, False], ids=["below-text", "first-non-number"])
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_cell_without_text_is_an_internal_failure(panic_exception, capfd, method, below_text, cell):
    enc = learned_encoder(LEARNED)
    cells = ["x", cell] if below_text else [1.0, cell, "x"]
    with pytest.raises(panic_exception) as excinfo:
        getattr(enc, method)(obj_column(*cells))
    message = str(excinfo.value)
    assert message.startswith("cant convert to str: ")
    expected_class = "ValueError" if isinstance(cell, FailingStr) else "TypeError"
    assert expected_class in message
    if isinstance(cell, FailingStr):
        assert "no text for this cell" in message
    # A diagnostic naming the failure goes to standard error.
    assert "cant convert to str" in capfd.readouterr().err
    assert_still_learned(enc)


def test_decode_with_state_from_a_wider_array_table(panic_exception):
    enc = learned_encoder(LEARNED)
    with pytest.raises(panic_exception) as excinfo:
        enc.decode(np.array([[0.0]]))
    assert str(excinfo.value) == "ndarray: index out of bounds"
    # The same check for a table that goes through the cell reading.
    with pytest.raises(panic_exception) as excinfo:
        enc.decode(np.array([[0]]))
    assert str(excinfo.value) == "ndarray: index out of bounds"
    # With no rows there is no cell to read and no range check.
    out = enc.decode(np.zeros((0, 1)))
    assert out.dtype == object and out.shape == (0, 1)
    assert_still_learned(enc)


def test_decode_with_state_from_a_wider_frame(panic_exception):
    enc = learned_encoder(LEARNED)
    with pytest.raises(panic_exception) as excinfo:
        enc.decode(pd.DataFrame({"a": [0.0]}))
    assert str(excinfo.value) == "ndarray: index out of bounds"
    # No rows: no matrix cell is read, the missing label is what fails.
    with pytest.raises(panic_exception) as excinfo:
        enc.decode(pd.DataFrame({"a": np.zeros(0)}))
    assert str(excinfo.value) == "index out of bounds: the len is 1 but the index is 1"
    assert_still_learned(enc)


def test_failed_encode_keeps_the_previous_state(panic_exception):
    enc = learned_encoder(LEARNED)
    failures = [
        (TypeError, [["a"]]),
        (panic_exception, np.array(["a"])),
        (panic_exception, obj_column("zzz", FailingStr())),
        (TypeError, pd.DataFrame([[1.0, 2.0]], columns=["a", 1])),
    ]
    for exc_type, table in failures:
        with pytest.raises(exc_type):
            enc.encode(table)
        assert_still_learned(enc)


class ndarray(np.ndarray):
    """An array that reports a shape whose result no machine can hold."""

    @property
    def shape(self):
        return (1 << 50, 4)  # 32 PiB of float64: beyond any address space


def test_a_result_too_large_for_memory_raises_memory_error():
    enc = learned_encoder(LEARNED)
    huge = np.zeros((2, 4), dtype=object).view(ndarray)
    with pytest.raises(MemoryError):
        enc.encode(huge)
    assert_still_learned(enc)


def test_failure_while_building_the_output_keeps_the_new_state():
    enc = learned_encoder(LEARNED)
    # One label for two columns: the conversion succeeds and the new state is
    # stored, then pandas refuses to build the frame.
    stand_in = DataFrame(["only"], obj_array([["new", "q"], ["new", "p"]]))
    with pytest.raises(ValueError):
        enc.encode(stand_in)
    out = enc.decode(np.array([[0.0, 0.0], [0.0, 1.0]]))
    assert out.tolist() == [["new", "p"], ["new", "q"]]


def test_failures_leave_nothing_borrowed(panic_exception):
    enc = kavrel.Encoder()
    for _ in range(3):
        with pytest.raises(panic_exception):
            enc.encode(np.zeros(2))
        with pytest.raises(panic_exception):
            enc.decode(np.zeros(2))
        with pytest.raises(TypeError):
            enc.encode([1])
        with pytest.raises(TypeError):
            enc.decode([1])
    assert enc.encode(obj_column("a")).tolist() == [[0.0]]
    assert enc.decode(np.array([[0.0]])).tolist() == [["a"]]
