"""Argument handling of the constructor and of encode/decode."""

import numpy as np
import pytest

import kavrel
from conftest import assert_float64_array, obj_column


class StrSub(str):
    """A str subclass whose str() differs from its content."""

    def __str__(self):
        return "something else"


TABLE = obj_column("b", "a", 2.0)


@pytest.mark.parametrize(
    "make",
    [
        lambda: kavrel.Encoder(),
        lambda: kavrel.Encoder(None),
        lambda: kavrel.Encoder(encoding=None),
        lambda: kavrel.Encoder("label"),
        lambda: kavrel.Encoder(encoding="label"),
        lambda: kavrel.Encoder(StrSub("label")),
    ],
    ids=["no-args", "None", "kw-None", "label", "kw-label", "str-subclass"],
)
def test_accepted_constructions_behave_the_same(make):
    enc = make()
    assert type(enc) is kavrel.Encoder
    # Texts "b", "a", "2.0" in byte order: "2.0" < "a" < "b".
    codes = enc.encode(TABLE)
    assert_float64_array(codes, [[2.0], [1.0], [0.0]])
    assert enc.decode(codes).tolist() == [["b"], ["a"], ["2.0"]]


@pytest.mark.parametrize(
    "strategy",
    ["Label", "LABEL", "label ", " label", "", "labels", "onehot", "label\x00", "läbel", "\U0001f600"],
)
def test_other_strategy_strings_are_refused(strategy):
    with pytest.raises(ValueError) as excinfo:
        kavrel.Encoder(strategy)
    assert str(excinfo.value) == f"{strategy} is not a supported encoding strategy for strings!"
    with pytest.raises(ValueError) as excinfo:
        kavrel.Encoder(encoding=strategy)
    assert str(excinfo.value) == f"{strategy} is not a supported encoding strategy for strings!"


def test_refused_strategy_message_uses_the_string_content():
    # The message shows the text of the argument, not what its __str__ says.
    with pytest.raises(ValueError) as excinfo:
        kavrel.Encoder(StrSub("Label"))
    assert str(excinfo.value) == "Label is not a supported encoding strategy for strings!"


def test_trailing_space_shows_as_two_spaces():
    with pytest.raises(ValueError) as excinfo:
        kavrel.Encoder("label ")
    assert "label  is not" in str(excinfo.value)


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(5, "int"), (1.5, "float"), (b"label", "bytes"), (["label"], "list"), (True, "bool"), (object(), "object")],
)
def test_non_string_encoding_is_a_type_error_with_note(value, type_name):
    for call in (lambda: kavrel.Encoder(value), lambda: kavrel.Encoder(encoding=value)):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == f"'{type_name}' object is not an instance of 'str'"
        assert excinfo.value.__notes__ == ["while processing 'encoding'"]


def test_lone_surrogate_encoding_is_an_encode_error_with_note():
    with pytest.raises(UnicodeEncodeError) as excinfo:
        kavrel.Encoder("lab\ud800el")
    assert excinfo.value.__notes__ == ["while processing 'encoding'"]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("label", "label"), {}, "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((None, None, None), {}, "Encoder.__new__() takes from 0 to 1 positional arguments but 3 were given"),
        ((), {"x": 1}, "Encoder.__new__() got an unexpected keyword argument 'x'"),
        (("label",), {"strategy": "label"}, "Encoder.__new__() got an unexpected keyword argument 'strategy'"),
        (("label",), {"encoding": "label"}, "Encoder.__new__() got multiple values for argument 'encoding'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        kavrel.Encoder(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("method", ["encode", "decode"])
def test_method_argument_errors(method):
    enc = kavrel.Encoder()
    enc.encode(obj_column("a", "b"))
    bound = getattr(enc, method)
    table = np.array([[1.0]])
    name = f"Encoder.{method}()"
    cases = [
        ((), {}, f"{name} missing 1 required positional argument: 'obj'"),
        ((table, table), {}, f"{name} takes 1 positional arguments but 2 were given"),
        ((table, table, table), {}, f"{name} takes 1 positional arguments but 3 were given"),
        ((table,), {"x": 1}, f"{name} got an unexpected keyword argument 'x'"),
        ((table,), {"obj": table}, f"{name} got multiple values for argument 'obj'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as excinfo:
            bound(*args, **kwargs)
        assert str(excinfo.value) == message
    # Nothing was left borrowed and the learned state is still there.
    assert enc.decode(obj=np.array([[1.0], [0.0]])).tolist() == [["b"], ["a"]]
    assert getattr(kavrel.Encoder, method)(enc, table).shape == (1, 1)
