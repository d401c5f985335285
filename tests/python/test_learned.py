"""What an encoder learned, as Python objects: the `labels` attribute,
Encoder.from_labels, and pickling and copying."""

import copy
import pickle
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import kavrel
from conftest import MARKERS, learned_encoder, obj_array, obj_column, run_python, same_cells
from test_fuzz_roads import FUZZ, texts

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


class ItemsAs(dict):
    """A Mapping whose items() yields what it is given."""

    def __init__(self, items):
        super().__init__()
        self.given = items

    def items(self):
        return self.given


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
        (ItemsAs([(0, ("a",), "x")]), 1, TypeError,
         r"^each item of the labels must be a \(position, labels\) pair, not a tuple of 3$"),
        (ItemsAs([[0, ("a",)]]), 1, TypeError, r"must be a \(position, labels\) pair, not 'list'$"),
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


def kept_state(enc):
    """What pickling keeps of `enc`: (version, width, frame columns, labels, counts)."""
    return enc.__reduce__()[2:]


def learned_encoders():
    frame = kavrel.Encoder()
    frame.encode(pd.DataFrame({"t": ["b", "a"], "n": [1, 2], "u": ["x", "nan"]}))
    numbers = kavrel.Encoder()
    numbers.encode(np.array([[1, 2, 3]], dtype=object))
    copied = learned_encoder()
    copied.encode(np.zeros((2, 2)))
    return {
        "fresh": kavrel.Encoder(),
        "array": learned_encoder(obj_array([["é", 1.0], ["a", 2.0]])),
        "frame": frame,
        "numbers": numbers,
        "float64": copied,
        "from_labels": kavrel.Encoder.from_labels({2: ["q", "p"]}, 4),
    }


def test_pickles_and_copies_are_independent_encoders_with_the_same_state():
    encoders = learned_encoders()
    assert kept_state(encoders["frame"]) == ((2, 3, ("t", "n", "u"), {0: ("a", "b"), 2: ("x",)}, {0: (1, 1), 2: (1,)}),)
    assert kept_state(encoders["numbers"]) == ((2, 3, None, {}, {}),)
    assert kept_state(encoders["fresh"]) == kept_state(encoders["float64"]) == ()
    codes = np.array([[0.0, 1.0, 0.0, 1.0], [1.0, 0.0, 1.0, np.nan]])
    for name, enc in encoders.items():
        copies = [pickle.loads(pickle.dumps(enc, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
        for other in copies + [copy.copy(enc), copy.deepcopy(enc)]:
            assert type(other) is kavrel.Encoder and other is not enc, name
            assert kept_state(other) == kept_state(enc) and other.labels == enc.labels, name
            assert other.counts == enc.counts, name
            width = kept_state(enc)[0][1] if kept_state(enc) else 4
            same_cells(other.decode(codes[:, :width]), enc.decode(codes[:, :width]))
        other.encode(obj_column("new"))
        assert enc.labels != {0: ("new",)}, name


def test_kept_states_load_in_a_fresh_process_and_bad_ones_raise():
    kept = pickle.dumps([learned_encoders()["frame"], kavrel.Encoder()])
    out = run_python(
        "import pickle, kavrel\n"
        f"frame, fresh = pickle.loads({kept!r})\n"
        "print(frame.labels, fresh.labels)\n"
        "enc = kavrel.Encoder.from_labels({0: ['kept']}, 1)\n"
        "class Items(dict):\n"
        "    def items(self): raise KeyError('items')\n"
        "good = (1, 1, None, {0: ('a',)})\n"
        "states = [\n"
        "    (3, 1, None, {}), (2**80, 1, None, {}), (0, 1, None, {}), (-1, 1, None, {}), (True, 1, None, {}),\n"
        "    ('1', 1, None, {}), 1, [1, 1, None, {}], (), good[:3], good + (None,),\n"
        "    (1, -1, None, {}), (1, 1.0, None, {}), (1, 1, None, None), (1, 1, None, [(0, ('a',))]),\n"
        "    (1, 1, None, {1: ('a',)}), (1, 1, None, {0: ('nan',)}), (1, 1, None, {0: (b'a',)}),\n"
        "    (1, 1, None, {0: 'ab'}), (1, 1, None, Items({0: ('a',)})), (1, 1, ['c'], {}), (1, 1, ('c', 'd'), {}),\n"
        "    (1, 1, (None,), {}), (1, 1, ('\\udc80',), {}), (1, 1, None, {0: ('\\udc80',)}),\n"
        "]\n"
        "for state in states:\n"
        "    try:\n"
        "        enc.__setstate__(state)\n"
        "        print('accepted', state)\n"
        "    except (TypeError, ValueError, KeyError) as exc:\n"
        "        print(type(exc).__name__, exc)\n"
        "print(enc.labels)\n"
    )
    lines = out.splitlines()
    assert lines[0] == "{0: ('a', 'b'), 2: ('x',)} {}"
    for line, version in zip(lines[1:3], (3, 2**80)):
        assert line == (
            f"ValueError the Encoder state has format version {version}, newer than this kavrel reads (2): "
            "it was kept by a newer kavrel"
        )
    assert not any(line.startswith("accepted") for line in lines)
    assert [line.split()[0] for line in lines[3:-1]] == [
        "ValueError", "ValueError", "ValueError", "ValueError", "TypeError", "TypeError", "ValueError",
        "ValueError", "ValueError", "ValueError", "TypeError", "TypeError", "TypeError", "ValueError",
        "ValueError", "TypeError", "TypeError", "KeyError", "TypeError", "ValueError", "TypeError",
        "ValueError", "ValueError",
    ]
    # A refused state changes nothing.
    assert lines[-1] == "{0: ('kept',)}"


# --- generated states -------------------------------------------------------------

def text_or_number_columns():
    """(n_rows, per column: its cells): text columns of texts and missing
    values, whose labels do not depend on which rows a part holds, and
    columns of numbers."""
    def columns(n_rows):
        text = st.lists(st.one_of(texts, st.sampled_from([None, np.nan, pd.NA])), min_size=n_rows, max_size=n_rows)
        numbers = st.lists(st.one_of(st.floats(), st.integers(-5, 5)), min_size=n_rows, max_size=n_rows)
        return st.tuples(st.just(n_rows), st.lists(st.one_of(text, numbers), max_size=4))

    return st.integers(0, 12).flatmap(columns)


@FUZZ
@given(text_or_number_columns(), st.lists(st.integers(0, 12), max_size=4),
       st.lists(st.sampled_from(["a", "b", "c"]), min_size=4, max_size=4))
def test_merged_parts_and_kept_states_act_as_one_encode(plan, cuts, names):
    """The labels of any partition of the rows merge into the state of one
    encode of the whole table; any state survives pickling."""
    n_rows, columns = plan
    whole = obj_array([[column[r] for column in columns] for r in range(n_rows)]).reshape(n_rows, len(columns))
    one = kavrel.Encoder()
    codes = one.encode(whole)
    bounds = [0, *sorted(min(cut, n_rows) for cut in cuts), n_rows]
    union = {}
    for a, b in zip(bounds, bounds[1:]):
        part = kavrel.Encoder()
        part.encode(whole[a:b])
        for col, labels in part.labels.items():
            union.setdefault(col, []).extend(labels)
    merged = kavrel.Encoder.from_labels(union, len(columns))
    assert merged.labels == one.labels
    np.testing.assert_array_equal(merged.transform(whole).view(np.uint64), codes.view(np.uint64))

    frame = pd.DataFrame(whole, columns=names[: len(columns)])
    framed = kavrel.Encoder()
    frame_codes = framed.encode(frame)
    for enc, table, table_codes in ((one, whole, codes), (merged, whole, codes), (framed, frame, frame_codes)):
        kept = pickle.loads(pickle.dumps(enc))
        assert kept_state(kept) == kept_state(enc) and kept.labels == enc.labels
        again = kept.transform(table)
        if isinstance(table, pd.DataFrame):
            pd.testing.assert_frame_equal(again, table_codes)
            pd.testing.assert_frame_equal(kept.decode(table_codes), enc.decode(table_codes))
        else:
            np.testing.assert_array_equal(again.view(np.uint64), table_codes.view(np.uint64))
            same_cells(kept.decode(table_codes), enc.decode(table_codes))


def test_counts_are_the_cells_of_each_label_in_code_order():
    enc = kavrel.Encoder()
    assert enc.counts == {}
    # Repeated str objects (cells that share their text) and distinct ones
    # are counted alike; markers, NaN and pd.NA are not counted.
    shared = "b"
    table = obj_array([[shared, 1.0, "x"], [shared, 2.0, "nan"], ["a", 3.0, None], ["b" + "", np.nan, pd.NA],
                       ["é", 5.0, "x"]])
    enc.encode(table)
    assert enc.labels == {0: ("a", "b", "é"), 2: ("None", "x")}
    assert enc.counts == {0: (1, 3, 1), 2: (1, 2)}
    counts = enc.counts
    counts[0] = (9,)
    assert enc.counts[0] == (1, 3, 1)  # a new dict each read
    with pytest.raises(AttributeError):
        enc.counts = {}
    enc.transform(obj_array([["a", 1.0, "x"]]))
    assert enc.counts[0] == (1, 3, 1)  # transform leaves it alone
    # Every road counts as it codes: the counts are the cells of each code.
    rng = np.random.default_rng(3)
    for table in (random_table(rng, 3000), pd.DataFrame(random_table(rng, 500)).astype({1: float}),
                  pd.DataFrame({"c": pd.Categorical(rng.choice(["p", "q", "nan"], 50), categories=["q", "p", "nan", "z"])}),
                  np.array([[f"id{i % 70_000}"] for i in rng.permutation(300_000)], dtype=object)):
        codes = np.asarray(enc.encode(table), dtype=np.float64)
        for col, labels in enc.labels.items():
            expected = np.bincount(codes[~np.isnan(codes[:, col]), col].astype(int), minlength=len(labels))
            assert enc.counts[col] == tuple(expected.tolist())
    enc.encode(np.zeros((2, 2)))
    assert enc.counts == {}


def test_from_labels_merges_counts_and_keeps_an_order_given():
    rng = np.random.default_rng(11)
    parts = [random_table(rng, n) for n in (60, 1, 33)]
    labels, counts = {}, {}
    for part in parts:
        enc = learned_encoder(part)
        for col, texts in enc.labels.items():
            labels.setdefault(col, []).extend(texts)
            counts.setdefault(col, []).extend(enc.counts[col])
    merged = kavrel.Encoder.from_labels(labels, 3, counts={c: iter(v) for c, v in counts.items()})
    whole = learned_encoder(np.concatenate(parts))
    assert merged.labels == whole.labels and merged.counts == whole.counts
    assert kavrel.Encoder.from_labels({0: ["b", "a"]}, 1).counts == {0: (0, 0)}
    big = kavrel.Encoder.from_labels({0: ["a", "a"]}, 1, counts={0: [2**40, 2**63]})
    assert big.counts == {0: (2**40 + 2**63,)}

    # Unsorted: code i is the i-th label given, for transform, decode and
    # every copy.
    enc = kavrel.Encoder.from_labels({1: ("z", "a", "é")}, 2, counts={1: (5, 0, 7)}, sort=False)
    assert enc.labels == {1: ("z", "a", "é")} and enc.counts == {1: (5, 0, 7)}
    table = obj_array([[1.0, "a"], [2.0, "z"], [3.0, "é"], [4.0, "q"]])
    np.testing.assert_array_equal(enc.transform(table), [[1, 1], [2, 0], [3, 2], [4, np.nan]])
    assert enc.decode(np.array([[0.0, 2.0]])).tolist() == [[0.0, "é"]]
    for other in (pickle.loads(pickle.dumps(enc)), copy.deepcopy(enc)):
        assert other.labels == enc.labels and other.counts == enc.counts
        np.testing.assert_array_equal(other.transform(table), enc.transform(table))


@pytest.mark.parametrize(
    ("labels", "kw", "error", "match"),
    [
        ({0: ["a", "b"]}, {"counts": {0: [1]}}, ValueError, "^column 0 has 2 labels but 1 counts$"),
        ({0: ["a"]}, {"counts": {0: [-1]}}, ValueError, "^count -1 of column 0 is negative$"),
        ({0: ["a"]}, {"counts": {1: [1]}}, ValueError, "^counts are given for column 1, which has no labels$"),
        ({0: ["a"]}, {"counts": {0: [1.0]}}, TypeError, "'float' object is not an instance of 'int'"),
        ({0: ["a"]}, {"counts": {0: [2**64]}}, OverflowError, "int too big"),
        ({0: ["a"]}, {"counts": [(0, [1])]}, TypeError, "not an instance of 'Mapping'"),
        ({0: ["a", "a"]}, {"counts": {0: [2**63, 2**63]}}, OverflowError, "add up to more than"),
        ({0: ["a", "b", "a"]}, {"sort": False}, ValueError, "^label 'a' is given more than once in column 0$"),
        ({0: ["a", "nan"]}, {"sort": False}, ValueError, "'nan' is a missing-value marker"),
    ],
)
def test_from_labels_refuses_counts_and_orders(labels, kw, error, match):
    with pytest.raises(error, match=match):
        kavrel.Encoder.from_labels(labels, 2, **kw)
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        kavrel.Encoder.from_labels(labels, 2, {})


def test_states_of_the_earlier_version_still_load():
    enc = kavrel.Encoder()
    enc.__setstate__((1, 2, ("p", "q"), {1: ("b", "a", "b")}))
    assert enc.labels == {1: ("a", "b")} and enc.counts == {1: (0, 0)}
    assert kept_state(enc) == ((2, 2, ("p", "q"), {1: ("a", "b")}, {1: (0, 0)}),)
    for bad in [(2, 2, None, {1: ("a",)}), (2, 2, None, {1: ("a",)}, {1: (1, 2)}), (2, 2, None, {1: ("a", "a")}, {}),
                (2, 2, None, {}, {0: (1,)}), (1, 2, None, {}, {})]:
        with pytest.raises(ValueError):
            enc.__setstate__(bad)
    assert enc.labels == {1: ("a", "b")}
