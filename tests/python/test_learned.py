"""What an encoder learned, as Python objects: the `labels` attribute."""

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import learned_encoder, obj_array, obj_column


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
