"""encode and decode of random mixed tables against a small model of the rules."""

import math

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kavrel
from conftest import MARKERS, obj_array
from model import model_column


TEXTS = st.one_of(
    st.sampled_from([*MARKERS, "", "None", "NAN", "Nan", " nan", "<na>", "1", "1.0", "1.5", "inf", "-0"]),
    st.text(alphabet=st.sampled_from("aAzZ09 .-_éÿ中\U0001f600\x00"), max_size=4),
    st.text(max_size=3),
)
NUMBERS = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([10**400, -(10**400), 2**1023]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, 0.1, 1e21, 1e23, 1.5e-7, 5e-324]),
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1).map(np.int64),
    st.floats(width=32, allow_nan=False).map(np.float32),
)
CELLS = st.one_of(TEXTS, NUMBERS, st.none())


@st.composite
def tables(draw):
    n_rows = draw(st.integers(min_value=0, max_value=7))
    n_cols = draw(st.integers(min_value=1, max_value=4))
    columns = []
    for _ in range(n_cols):
        # Some columns draw from numbers only, so numeric columns are common.
        source = draw(st.sampled_from([CELLS, CELLS, NUMBERS]))
        columns.append(draw(st.lists(source, min_size=n_rows, max_size=n_rows)))
    return columns


def assert_same_floats(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert (math.isnan(g) and math.isnan(w)) or g == w, (got, want)


@settings(max_examples=200, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables())
def test_encode_and_decode_follow_the_model(columns):
    n_rows = len(columns[0])
    rows = [[col[r] for col in columns] for r in range(n_rows)]
    table = obj_array(rows) if n_rows else np.empty((0, len(columns)), dtype=object)
    model = [model_column(col) for col in columns]

    enc = kavrel.Encoder()
    codes = enc.encode(table)
    assert codes.dtype == np.float64 and codes.shape == table.shape
    for c, (_, _, want) in enumerate(model):
        assert_same_floats(codes[:, c].tolist(), want)

    back = enc.decode(codes)
    assert back.dtype == object and back.shape == table.shape
    for c, (is_text, texts, want) in enumerate(model):
        got = back[:, c].tolist()
        if is_text:
            assert got == ["NaN" if t in MARKERS else t for t in texts]
        else:
            assert all(type(v) is float for v in got)
            assert_same_floats(got, want)

    # The same cells in a frame give the same codes, and None for markers.
    frame = pd.DataFrame(table, columns=[f"c{i}" for i in range(len(columns))], dtype=object)
    frame_enc = kavrel.Encoder()
    frame_codes = frame_enc.encode(frame)
    np.testing.assert_array_equal(frame_codes.to_numpy(), codes)
    frame_back = frame_enc.decode(frame_codes)
    for c, (is_text, texts, want) in enumerate(model):
        got = frame_back.iloc[:, c].tolist()
        if is_text:
            assert got == [None if t in MARKERS else t for t in texts]
        else:
            assert_same_floats(got, want)
