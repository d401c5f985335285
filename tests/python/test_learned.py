"""What an encoder learned, as Python objects: the `labels` attribute and
Encoder.from_labels."""

import types

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import MARKERS, learned_encoder, obj_array, obj_column, same_cells

WORDS = np.array(["ant", "Bee", "cat", "", "é", "nan", "<NA>", "None", "10", "9", "ß", "Z"], dtype=object)


def random_table(rng, n_rows, n_cols=3):
    """Text columns of WORDS (markers included) and a column of numbers."""
    table = WORDS[rng.integers(0, len(WORDS), (n_rows, n_cols))]
    table[:, 1] = rng.integers(0, 5, n_rows).astype(float)
    return table


def test_labels_are_the_learned_text_columns_in_code_order():
    enc = kavrel.Encoder()
    assert enc.labels == {}
    table = obj_array([["b", 1.5, "z", None], ["é", 2.0, "nan", "<NA>"], ["Z", 3.0, "a", "NaN"]])
    codes = enc.encode(table)
    # Byte-wise UTF-8 order ("Z" < "b" < "é"), markers left out; a column of
    # markers only is learned as text without labels.
    assert enc.labels == {0: ("Z", "b", "é"), 2: ("a", "z"), 3: ("None",)}
    assert all(type(v) is tuple and all(type(s) is str for s in v) for v in enc.labels.values())
    # Label i is what code i decodes to.
    for col, labels in enc.labels.items():
        for r in range(len(table)):
            code = codes[r, col]
            if not np.isnan(code):
                assert labels[int(code)] == str(table[r, col])

    enc.encode(pd.DataFrame({"x": ["q", "p"], "y": [1, 2]}))
    assert enc.labels == {0: ("p", "q")}
    # Tables that teach no text: a table of numbers, and the float64 copy.
    enc.encode(np.array([[1, 2]], dtype=object))
    assert enc.labels == {}
    enc = learned_encoder()
    enc.encode(np.zeros((1, 2)))
    assert enc.labels == {}


def test_labels_is_read_only_and_each_read_a_new_dict():
    enc = learned_encoder()
    with pytest.raises(AttributeError):
        enc.labels = {}
    with pytest.raises(AttributeError):
        del enc.labels
    first = enc.labels
    first[0] = ("changed",)
    first[7] = ()
    assert enc.labels == {0: ("a", "b")}


def test_labels_and_decode_hand_out_the_same_strs():
    enc = kavrel.Encoder()
    codes = enc.encode(obj_array([["ab", "xyz"], ["cd", "xyz"], ["ab", "é"]]))
    labels = enc.labels
    assert labels[0] is enc.labels[0]
    for out in (enc.decode(codes), enc.decode(codes)):
        assert out[0, 0] is labels[0][0] and out[1, 0] is labels[0][1] and out[2, 1] is labels[1][1]
    frame = enc.decode(pd.DataFrame(codes, columns=["p", "q"]))
    assert frame["q"][0] is labels[1][0]
    # A short table against many labels, before and after they were made.
    enc.encode(obj_column(*(f"w{i:03d}" for i in range(200))))
    assert enc.decode(np.array([[5.0]])).tolist() == [["w005"]]
    made = enc.labels[0]
    assert enc.decode(np.array([[5.9], [-0.5], [200.0]]))[:, 0].tolist() == ["w005", "w000", "NaN"]
    assert enc.decode(np.array([[5.0]]))[0, 0] is made[5]


def test_from_labels_gives_the_state_an_encode_would_learn():
    rng = np.random.default_rng(7)
    parts = [random_table(rng, n) for n in (40, 1, 25)]
    union = {}
    for part in parts:
        enc = kavrel.Encoder()
        enc.encode(part)
        for col, labels in enc.labels.items():
            union.setdefault(col, []).extend(labels)
    # Repeated and unsorted labels, any iterable of str, any Mapping.
    merged = kavrel.Encoder.from_labels(union, n_columns=3)
    whole = kavrel.Encoder()
    codes = whole.encode(np.concatenate(parts))
    assert merged.labels == whole.labels
    same_cells(merged.decode(codes), whole.decode(codes))
    frame = pd.DataFrame(codes, columns=["p", "q", "r"])
    pd.testing.assert_frame_equal(merged.decode(frame), whole.decode(frame))

    again = kavrel.Encoder.from_labels(types.MappingProxyType(merged.labels), 3)
    assert again.labels == whole.labels
    assert kavrel.Encoder.from_labels({1: iter(["b", "a"]), 0: set()}, 4).labels == {0: (), 1: ("a", "b")}
    assert kavrel.Encoder.from_labels({}, 0).labels == {}
    # What it learned is its own: encode replaces it as after any encode.
    merged.encode(obj_column("q"))
    assert merged.labels == {0: ("q",)}


@pytest.mark.parametrize(
    ("labels", "n_columns", "error", "match"),
    [
        ([("a",)], 1, TypeError, "'list' object is not an instance of 'Mapping'"),
        ({"0": ["a"]}, 1, TypeError, "'str' object is not an instance of 'int'"),
        ({0.0: ["a"]}, 1, TypeError, "'float' object is not an instance of 'int'"),
        ({0: ["a", b"b"]}, 1, TypeError, "'bytes' object is not an instance of 'str'"),
        ({0: [None]}, 1, TypeError, "'NoneType' object is not an instance of 'str'"),
        ({0: "ab"}, 1, TypeError, "column 0 must be an iterable of str, not a str"),
        ({0: 5}, 1, TypeError, "not iterable"),
        ({}, 1.0, TypeError, "'float' object is not an instance of 'int'"),
        ({}, -1, ValueError, "n_columns must be at least 0, not -1"),
        ({1: ["a"]}, 1, ValueError, "column position 1 is out of range for 1 columns"),
        ({-1: ["a"]}, 1, ValueError, "column position -1 is out of range"),
        ({2**70: ["a"]}, 1, ValueError, "is out of range"),
        ({0: ["a", "b\udc80"]}, 1, ValueError, "cannot be encoded as UTF-8"),
    ]
    + [({0: ["a", m]}, 1, ValueError, f"'{m}' is a missing-value marker") for m in MARKERS],
)
def test_from_labels_refuses(labels, n_columns, error, match):
    with pytest.raises(error, match=match):
        kavrel.Encoder.from_labels(labels, n_columns)


def test_from_labels_arguments():
    from_labels = kavrel.Encoder.from_labels
    assert from_labels(n_columns=1, labels={0: ["x"]}).labels == {0: ("x",)}
    assert type(kavrel.Encoder().from_labels({}, 1)) is kavrel.Encoder
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'n_columns'"):
        from_labels({})
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        from_labels({}, 1, 2)
    with pytest.raises(TypeError, match="multiple values for argument 'labels'"):
        from_labels({}, labels={})
    with pytest.raises(TypeError, match="unexpected keyword argument 'width'"):
        from_labels({}, width=1)
