"""Generated tables on both roads.  An exact numpy array or pandas frame is
read from its own storage; a subclass named like the real type is read
through item reads and the frame's values.  Nothing that Python code can see
may tell the two apart: codes bit for bit, what decode makes of them, the
exception, the warnings, and the calls into cells, in their order.

Each test runs KAVREL_FUZZ_EXAMPLES examples (600 by default; the sanitizer
run sets 3000), derandomized, so that a run never flakes on what it passed
before.  KAVREL_FUZZ_RANDOM=1 draws fresh ones, for a long hunt by hand."""

import itertools
import os
import struct
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kavrel
from conftest import GeneralFrame, ndarray, pandas_twin, run_python

try:
    import polars as pl
except ImportError:  # its abi3 wheels load on no free-threaded build
    pl = None

_RANDOM = os.environ.get("KAVREL_FUZZ_RANDOM") == "1"
FUZZ = settings(
    max_examples=int(os.environ.get("KAVREL_FUZZ_EXAMPLES", "600")),
    derandomize=not _RANDOM,
    print_blob=_RANDOM,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.large_base_example],
)




# --- cells whose protocols are Python code --------------------------------------

LOG = []  # (cell, protocol) per call into a Cell or a LoggedMissing, in order
TABLE = []  # the table being read, which a Cell may write into


class Stop(BaseException):
    """Not an Exception: it ends the call instead of saying "not a number"."""


RAISES = [ValueError, TypeError, MemoryError, Stop]
_tags = itertools.count()


class Cell:
    """An object cell whose float protocol and str() log their calls.

    `number` is what __float__ gives, or the exception class it raises (None:
    TypeError, as if it had none); `text` the same for __str__; `writes`, a
    (row, column, value) that __str__ stores into the table being read."""

    def __init__(self, number, text, writes):
        self.tag, self.number, self.text, self.writes = next(_tags), number, text, writes

    def _give(self, protocol, value):
        LOG.append((self.tag, protocol))
        if value is None or isinstance(value, type):
            raise (value or TypeError)(f"cell {self.tag}: no {protocol}")
        return value

    def __float__(self):
        return self._give("float", self.number)

    def __str__(self):
        if self.writes and TABLE and 0 not in TABLE[0].shape:
            r, c, value = self.writes
            table = TABLE[0]
            (table.iloc if isinstance(table, pd.DataFrame) else table)[r % table.shape[0], c % table.shape[1]] = value
        return self._give("str", self.text)

    def __repr__(self):
        return f"Cell({self.number!r}, {self.text!r}, {self.writes!r})"


class Text(str):
    """A str of a type of its own, whose str() is Python code."""

    def __str__(self):
        LOG.append((str.__str__(self), "str"))
        return "text:" + self


class Real(float):
    """A float of a type of its own: its float protocol is float's, its str()
    Python code."""

    def __str__(self):
        LOG.append((float.__repr__(self), "str"))
        return "real:" + float.__repr__(self)


class LoggedMissing:
    """A StringDType missing value whose str() is Python code."""

    def __str__(self):
        LOG.append(("missing", "str"))
        return "<NA>"

    def __repr__(self):
        return "LoggedMissing()"


# --- cell values ----------------------------------------------------------------

TEXTS = ["a", "b", "B", "é", "中文", "\U0001f600", "", "<NA>", "nan", "NaN", "None", "NA", "1.5", "10", "9",
         "-0", "1e5", "inf", "True", "x\x00y", "long text " * 3]
texts = st.one_of(st.sampled_from(TEXTS), st.text(max_size=4))
# Python strings no UTF-8 buffer holds.
any_texts = st.one_of(texts, st.sampled_from(["\udc80", "a\ud800b"]))

NICE_FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 3.0, 1e23, 2.0**53 + 2, 5e-324, float("inf"), float("-inf"), 65504.0]


def float_bits(width):
    """Bit patterns of floats `width` bits wide: any value, and NaNs of every
    sign, payload, quiet or signalling."""
    uint, flt = np.dtype(f"<u{width // 8}"), np.dtype(f"<f{width // 8}")
    mantissa = {16: 10, 32: 23, 64: 52}[width]
    exponent = ((1 << (width - 1 - mantissa)) - 1) << mantissa

    def nan(sign, quiet, payload):
        payload = payload or (not quiet)  # a signalling NaN needs a payload, or it is infinity
        return sign << (width - 1) | exponent | quiet << (mantissa - 1) | payload

    def nice(x):
        with np.errstate(over="ignore"):
            return int(np.array(x, flt).view(uint))

    return st.one_of(
        st.sampled_from(NICE_FLOATS).map(nice),
        st.builds(nan, st.integers(0, 1), st.integers(0, 1), st.integers(0, (1 << (mantissa - 1)) - 1)),
        st.integers(0, (1 << width) - 1),
    )


def float_of(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


floats = float_bits(64).map(float_of)
numpy_scalars = st.one_of(
    float_bits(16).map(lambda b: np.uint16(b).view(np.float16)),
    float_bits(32).map(lambda b: np.uint32(b).view(np.float32)),
    floats.map(np.float64),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64),
    st.booleans().map(np.bool_),
    texts.map(np.str_),
)
plain_cells = st.one_of(
    any_texts,
    floats,
    st.one_of(st.integers(-(2**70), 2**70), st.sampled_from([2**53 + 1, 2**63, 2**64, 10**400, -(10**400)])),
    st.booleans(),
    st.sampled_from([None, pd.NA, np.nan]),
    numpy_scalars,
    st.one_of(texts.map(Text), floats.map(Real)),
)


def rarely(rare, usual):
    """`rare` one time in ten: a failing cell ends the call, and hides what
    the cells after it would have shown."""
    return st.integers(0, 9).flatmap(lambda i: rare if i == 5 else usual)


def object_cells():
    """Any object cell; Cells may write into the table being read."""
    cells = st.builds(
        Cell,
        number=rarely(st.sampled_from(RAISES), st.one_of(st.none(), floats, st.sampled_from([ValueError, TypeError]))),
        text=rarely(st.sampled_from(RAISES), any_texts),
        writes=st.one_of(st.none(), st.tuples(st.integers(0, 9), st.integers(0, 9), plain_cells)),
    )
    # A choice of two, not a one_of that hypothesis would flatten into its parts.
    return st.integers(0, 2).flatmap(lambda i: cells if i == 0 else plain_cells)


# The narrow floats and bool first: hypothesis draws the first choices of a
# list more often.
NUMERIC_DTYPES = ["float32", "bool", "float16", "float64", "int64", "uint8", "int8", "int16", "int32", "uint16",
                  "uint32", "uint64"]


def is_nan(bits, width):
    mantissa = {16: 10, 32: 23, 64: 52}[width]
    exponent = ((1 << (width - 1 - mantissa)) - 1) << mantissa
    return bits & exponent == exponent and bits & ((1 << mantissa) - 1) != 0


def numbers(dtype, size):
    """A flat array of `size` elements of numeric `dtype`, either byte order."""
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        values = st.lists(st.booleans(), min_size=size, max_size=size).map(lambda v: np.array(v, dtype))
    elif dtype.kind in "iu":
        info = np.iinfo(dtype)
        cell = st.one_of(st.integers(int(info.min), int(info.max)), st.sampled_from([int(info.min), int(info.max), 0]))
        values = st.lists(cell, min_size=size, max_size=size).map(lambda v: np.array(v, dtype))
    else:
        width = 8 * dtype.itemsize
        cell = float_bits(width)
        values = st.lists(cell, min_size=size, max_size=size).map(
            lambda v: np.array(v, f"<u{width // 8}").view(dtype))
    return st.tuples(values, st.booleans()).map(lambda p: p[0].astype(p[0].dtype.newbyteorder(">")) if p[1] else p[0])


# --- arrays ---------------------------------------------------------------------

StringDType = getattr(np.dtypes, "StringDType", None)
NA_OBJECTS = ["absent", None, np.nan, "", "NA", "nan", pd.NA, LoggedMissing()]


def string_dtype_cells(na_object, size):
    absent = isinstance(na_object, str) and na_object == "absent"
    dtype = StringDType() if absent else StringDType(na_object=na_object)
    missing = "" if absent else na_object
    cell = st.one_of(texts, st.just(missing))
    return st.lists(cell, min_size=size, max_size=size).map(lambda v: np.array(v, dtype=dtype).reshape(size))


@st.composite
def arrays(draw):
    """(a 2-D array, its layout): numbers of each dtype and byte order,
    fixed-width unicode, objects, StringDType."""
    n_rows, n_cols = draw(st.integers(0, 6)), draw(st.integers(0, 4))
    size = n_rows * n_cols
    kind = draw(st.sampled_from(["numbers", "unicode", "object"] + (["string_dtype"] if StringDType else [])))
    if kind == "numbers":
        flat = draw(st.sampled_from(NUMERIC_DTYPES).flatmap(lambda d: numbers(d, size)))
    elif kind == "unicode":
        flat = np.array(draw(st.lists(any_texts, min_size=size, max_size=size)), dtype=str).reshape(size)
        if size and draw(st.booleans()):
            points = flat.view(np.uint32)
            points[draw(st.integers(0, points.size - 1))] = draw(st.integers(0x110000, 2**32 - 1))
        if draw(st.booleans()):
            flat = flat.astype(flat.dtype.newbyteorder(">"))
    elif kind == "object":
        flat = np.empty(size, dtype=object)
        for i, cell in enumerate(draw(st.lists(object_cells(), min_size=size, max_size=size))):
            flat[i] = cell
    else:
        flat = draw(st.sampled_from(NA_OBJECTS).flatmap(lambda na: string_dtype_cells(na, size)))
    layout = (
        draw(st.booleans()),  # Fortran order
        draw(st.booleans()),  # transposed
        draw(st.sampled_from([slice(None), slice(None, None, -1), slice(None, None, 2), slice(1, None, -2),
                              slice(0, 0)])),
        draw(st.sampled_from([slice(None), slice(None, None, -1), slice(1, None, 2)])),
    )
    return flat.reshape(n_rows, n_cols), layout


def laid_out(base, layout):
    """A fresh table of the cells of `base`, in `layout`."""
    fortran, transposed, rows, columns = layout
    table = base.copy(order="F" if fortran else "C")  # a copy even where base is both
    return (table.T if transposed else table)[rows, columns]


# --- frames ---------------------------------------------------------------------

STRING_DTYPES = {
    "str": pd.StringDtype("pyarrow", na_value=np.nan),
    "str[python]": pd.StringDtype("python", na_value=np.nan),
    "string[python]": pd.StringDtype("python"),
    "string[pyarrow]": pd.StringDtype("pyarrow"),
}
ARROW_TYPES = {"string": pa.string(), "large_string": pa.large_string(), "string_view": pa.string_view()}
text_or_missing = st.one_of(texts, st.sampled_from([None, pd.NA, np.nan]))


class Column:
    """How to make one frame column afresh: each road reads a frame of its own."""

    def __init__(self, make, *args):
        self.make_column, self.args = make, args

    def make(self):
        return self.make_column(*self.args)

    def __repr__(self):
        return f"{self.make_column.__name__}{self.args!r}"


def numpy_column(values):
    return values.copy()


def object_column(cells):
    array = np.empty(len(cells), dtype=object)
    for i, cell in enumerate(cells):
        array[i] = cell
    return pd.Series(array, dtype=object, copy=False)


def string_column(dtype, cells):
    return pd.array(cells, dtype=STRING_DTYPES[dtype])


def arrow_column(arrow_type, chunks, dtype):
    """Arrow strings in chunks, each a slice of a longer array: as pandas'
    ArrowDtype, or as a pandas string dtype whose storage exports them so."""
    arrow_type = ARROW_TYPES[arrow_type]
    chunked = pa.chunked_array(
        [pa.array(["pad", *chunk, "pad"], arrow_type).slice(1, len(chunk)) for chunk in chunks], arrow_type)
    if dtype is None:
        return pd.arrays.ArrowExtensionArray(chunked)
    array = pd.array([cell for chunk in chunks for cell in chunk], dtype=STRING_DTYPES[dtype])
    array.__arrow_array__ = lambda type=None: chunked  # noqa: A006 - the protocol's name
    return array


CATEGORY_INDEX_DTYPES = {None: None, "object": object, **STRING_DTYPES}


def wide_categories(kind, count):
    return {"str": [f"k{i:05}" for i in range(count)], "int": list(range(-3, count - 3)),
            "float": [i + 0.5 for i in range(count)]}[kind]


def categorical_column(categories, index_dtype, codes):
    if isinstance(categories, tuple):  # ("wide", kind, count)
        categories = wide_categories(*categories[1:])
    dtype = CATEGORY_INDEX_DTYPES[index_dtype] if categories else object
    index = pd.Index(categories, dtype=dtype)
    return pd.Categorical.from_codes(codes, categories=index)


def other_column(kind, n):
    """Dtypes without a road of their own: the whole frame reads values."""
    return {
        "datetime": lambda: pd.array([pd.Timestamp("2020-01-02") if i % 2 else pd.NaT for i in range(n)]),
        "Int64": lambda: pd.array([i if i % 3 else None for i in range(n)], dtype="Int64"),
        "boolean": lambda: pd.array([bool(i % 2) if i % 3 else None for i in range(n)], dtype="boolean"),
    }[kind]()


def numeric_key(x):
    return x if isinstance(x, str) else ("number", float(x))  # 1 == 1.0 == True: one category


# (categories, index dtypes to choose from): a few of each kind, or
# sometimes enough for 16-bit and 32-bit codes.
CATEGORY_KINDS = [
    st.tuples(st.lists(texts, max_size=5, unique=True), st.just(list(CATEGORY_INDEX_DTYPES))),
    st.tuples(st.sampled_from([[False, True], [True]]), st.just([None])),
    st.tuples(st.lists(st.one_of(st.integers(-3, 3), st.integers(-(2**63), 2**63 - 1)), min_size=1, max_size=5,
                       unique=True), st.just([None])),
    st.tuples(st.lists(st.floats(allow_nan=False), min_size=1, max_size=5, unique=True), st.just([None])),
    st.tuples(st.lists(st.one_of(texts, texts.map(Text), st.integers(-3, 3), st.sampled_from([1.5, 2.0, True])),
                       min_size=1, max_size=5, unique_by=numeric_key), st.just([None])),
    st.tuples(st.tuples(st.just("wide"), st.sampled_from(["str", "int", "float"]), st.sampled_from([130, 33000])),
              st.just([None, "object"])),
]


def categorical_columns(n, kinds):
    def with_codes(pair):
        categories, index_dtypes = pair
        count = categories[2] if isinstance(categories, tuple) else len(categories)
        code = st.one_of(st.integers(-1, min(count, 5) - 1), st.integers(max(count - 3, -1), count - 1))
        if count == 0:
            code = st.just(-1)
        return st.builds(Column, st.just(categorical_column), st.just(categories), st.sampled_from(index_dtypes),
                         st.lists(code, min_size=n, max_size=n))

    return st.sampled_from(kinds).flatmap(lambda k: CATEGORY_KINDS[k]).flatmap(with_codes)


def arrow_columns(n):
    @st.composite
    def chunked(draw):
        cells = draw(st.lists(st.one_of(texts, st.none()), min_size=n, max_size=n))
        cuts = sorted(draw(st.lists(st.integers(0, n), max_size=3)))
        bounds = [0, *cuts, n]
        return [cells[a:b] for a, b in zip(bounds, bounds[1:])]

    return st.builds(Column, st.just(arrow_column), st.sampled_from(sorted(ARROW_TYPES)), chunked(),
                     st.sampled_from([None, "str", "string[pyarrow]"]))


def column_kinds(n, palette):
    """Per kind of column, a strategy for one; numbers and categories of the
    dtypes and kinds that `palette` draws for the frame."""
    dtypes = palette(st.sampled_from(NUMERIC_DTYPES))
    return [
        st.sampled_from(dtypes).flatmap(lambda d: numbers(d, n)).map(
            lambda v: Column(numpy_column, v)),
        st.lists(object_cells(), min_size=n, max_size=n).map(lambda v: Column(object_column, v)),
        st.builds(Column, st.just(string_column), st.sampled_from(sorted(STRING_DTYPES)),
                  st.lists(text_or_missing, min_size=n, max_size=n)),
        arrow_columns(n),
        categorical_columns(n, palette(st.integers(0, len(CATEGORY_KINDS) - 1))),
        st.builds(Column, st.just(other_column), st.sampled_from(["datetime", "Int64", "boolean"]), st.just(n)),
    ]


ROW_SLICES = [slice(None), slice(None, None, -1), slice(1, None), slice(None, None, 2), slice(None, None, -3)]


@st.composite
def frames(draw):
    """(rows, columns, int labels, rows kept): a frame of every column kind
    the roads know, sliced."""
    n = draw(st.integers(0, 6))

    # Columns of one or two kinds per frame, numbers of one or two dtypes,
    # categories of one or two kinds: they meet one another far more often
    # than when each column is drawn from all.
    def palette(choices):
        return draw(st.lists(choices, min_size=1, max_size=2))

    # The last kind, without a road of its own, sends the whole frame to
    # values: only in some frames.
    kinds = column_kinds(n, palette)[: None if draw(st.integers(0, 3)) == 0 else -1]
    columns = [draw(kinds[k]) for k in draw(st.lists(st.sampled_from(palette(st.integers(0, len(kinds) - 1))),
                                                     max_size=5))]
    # pandas slices no ArrowDtype(string_view) column.
    unsliceable = any(c.make_column is arrow_column and c.args[0] == "string_view" and c.args[2] is None
                      for c in columns)
    rows = slice(None) if unsliceable else draw(st.sampled_from(ROW_SLICES))
    return n, columns, draw(st.booleans()), draw(st.booleans()), rows


def make_frame(n, columns, int_labels, consolidated, rows):
    data = {(i if int_labels else f"c{i}"): column.make() for i, column in enumerate(columns)}
    frame = pd.DataFrame(data, index=range(n), copy=False)
    if consolidated:  # columns of one dtype in one 2-D block, each a strided view
        frame = frame.copy()
    return frame if rows == slice(None) else frame.iloc[rows]


# --- both roads -----------------------------------------------------------------


def same_cell(a, b):
    assert type(a) is type(b), (a, b)
    if type(a) is float:
        assert struct.pack("<d", a) == struct.pack("<d", b), (a, b)  # -0.0 and NaN payloads too
    else:
        assert a == b, (a, b)


def assert_same_table(direct, general):
    assert type(direct) is type(general)
    if isinstance(direct, pd.DataFrame):
        pd.testing.assert_index_equal(direct.columns, general.columns, exact=True)
        pd.testing.assert_index_equal(direct.index, general.index, exact=True)
        assert list(direct.dtypes) == list(general.dtypes)
        pairs = [(direct.iloc[:, i].to_numpy(), general.iloc[:, i].to_numpy()) for i in range(direct.shape[1])]
    else:
        assert direct.strides == general.strides
        pairs = [(direct, general)]
    for d, g in pairs:
        assert d.shape == g.shape and d.dtype == g.dtype
        if d.dtype == np.float64:
            assert np.array_equal(d.view(np.uint64), g.view(np.uint64))
        else:
            for x, y in zip(d.ravel().tolist(), g.ravel().tolist()):
                same_cell(x, y)


def outcome(table, road):
    """What encoding `table`, then decoding the codes on the same `road`,
    shows: the result or exception, the warnings, the calls into cells."""
    LOG.clear()
    TABLE[:] = [table]
    enc = kavrel.Encoder()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            codes = enc.encode(table)
            result = ("encoded", codes, enc.decode(road(codes)))
        except BaseException as exc:  # noqa: BLE001 - the module's panic is a BaseException
            # A panic's message ends with the Python traceback, whose lines
            # of source come and go with the line cache: not the road's.
            result = ("raised", type(exc).__name__, str(exc).split(", traceback:")[0])
        finally:
            TABLE.clear()
    return result, [(w.category, str(w.message)) for w in caught], list(LOG)


def assert_same_roads(make, general_road):
    (direct, direct_warnings, direct_calls) = outcome(make(), lambda table: table)
    (general, general_warnings, general_calls) = outcome(general_road(make()), general_road)
    assert direct[0] == general[0], (direct, general)
    if direct[0] == "raised":
        assert direct == general
    else:
        assert_same_table(direct[1], general[1])
        assert_same_table(direct[2], general[2])
    assert direct_warnings == general_warnings
    assert direct_calls == general_calls


@FUZZ
@given(arrays())
def test_arrays_read_alike_on_both_roads(plan):
    assert_same_roads(lambda: laid_out(*plan), lambda table: table.view(ndarray))


@FUZZ
@given(frames())
def test_frames_read_alike_on_both_roads(plan):
    assert_same_roads(lambda: make_frame(*plan), GeneralFrame)


# --- object columns long enough for the pool to read -------------------------------

# Cells the pool reads itself, and ones it leaves to the calling thread
# although they run no Python code (ints of more than two 30-bit digits;
# strs beyond U+10FFFF cannot be made here).  Ints about the digits' bounds,
# and ones that a double rounds.
exact_numbers = st.one_of(floats, st.integers(-(2**62), 2**62), st.booleans(), st.sampled_from(
    [2**30 - 1, 2**30, -(2**30), 2**53 + 1, -(2**53) - 3, 2**60 - 1, -(2**60) + 1, 2**60, 2**64]))
exact_cells = st.one_of(any_texts, exact_numbers, st.none())


@st.composite
def tall_object_columns(draw):
    """Object columns of some thousand rows: each of a few exact cells, only
    numbers above a drawn row, and its strs sometimes each an object of its
    own that only the table holds; then a few cells of any kind put anywhere,
    among them Cells that write into the table, freeing the cells that they
    replace, which the pool may have read already."""
    n_rows, n_cols = draw(st.integers(1100, 1600)), draw(st.integers(1, 4))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    columns = []
    for _ in range(n_cols):
        numbers = draw(st.lists(exact_numbers, min_size=1, max_size=3))
        cells = numbers + draw(st.lists(exact_cells, min_size=1, max_size=3))
        turn = draw(st.sampled_from([0, 1, n_rows // 3, n_rows - 1, n_rows]))
        picks = np.where(np.arange(n_rows) < turn, rng.integers(0, len(numbers), n_rows),
                         rng.integers(0, len(cells), n_rows))
        column = np.empty(n_rows, dtype=object)
        own = draw(st.booleans())
        for r, k in enumerate(picks.tolist()):
            cell = cells[k]
            column[r] = "".join([cell, "\0"])[:-1] if own and type(cell) is str else cell
        columns.append(column)
    for _ in range(draw(st.integers(0, 3))):
        cell = draw(st.one_of(object_cells(), st.builds(
            Cell, number=st.one_of(st.none(), floats), text=texts,
            writes=st.tuples(st.integers(0, n_rows - 1), st.integers(0, n_cols - 1), plain_cells))))
        columns[int(rng.integers(0, n_cols))][int(rng.integers(0, n_rows))] = cell
    return columns


def tall_array(columns):
    table = np.empty((len(columns[0]), len(columns)), dtype=object)
    for c, column in enumerate(columns):
        table[:, c] = column
    return table


@FUZZ
@given(tall_object_columns())
def test_tall_object_tables_read_alike_on_both_roads(columns):
    """Tables the pool's threads read, as an array and as a frame."""
    assert_same_roads(lambda: tall_array(columns), lambda table: table.view(ndarray))
    frame = lambda: pd.DataFrame({f"c{c}": object_column(column) for c, column in enumerate(columns)})  # noqa: E731
    assert_same_roads(frame, GeneralFrame)


# --- polars frames and their pandas twins -----------------------------------------

POLARS_INTS = {f"{sign}Int{bits}": (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if sign == "" else (0, 2**bits - 1)
               for sign in ("", "U") for bits in (8, 16, 32, 64)}


def polars_column(n):
    """(kind, dtype argument, cells): a column of a type that polars hands
    over as Arrow strings, a dictionary, numbers, or else Python objects."""
    def cells(values):
        return st.lists(st.one_of(values, st.none()), min_size=n, max_size=n)

    def enum(categories):
        return st.tuples(st.just("enum"), st.just(categories), cells(st.sampled_from(categories)))

    return st.one_of(
        st.tuples(st.sampled_from(["String", "Categorical"]), st.none(), cells(texts)),
        st.lists(texts, min_size=1, max_size=5, unique=True).flatmap(enum),
        st.sampled_from(sorted(POLARS_INTS)).flatmap(
            lambda t: st.tuples(st.just(t), st.none(), cells(st.integers(*POLARS_INTS[t])))),
        st.tuples(st.just("Float64"), st.none(), cells(floats)),
        st.tuples(st.just("Float32"), st.none(), cells(float_bits(32).map(lambda b: float(np.uint32(b).view(np.float32))))),
        st.tuples(st.sampled_from(["Boolean", "Null"]), st.none(), cells(st.booleans())),
        st.tuples(st.just("Binary"), st.none(), cells(st.binary(max_size=3))),
        st.tuples(st.just("Decimal"), st.none(), cells(st.integers(-(10**6), 10**6))),
        st.tuples(st.just("List"), st.none(), cells(st.lists(st.one_of(st.integers(-3, 3), st.none()), max_size=3))),
        st.tuples(st.just("Array"), st.none(), cells(st.lists(st.integers(-3, 3), min_size=2, max_size=2))),
    )


@st.composite
def polars_frames(draw):
    """A polars frame of a few columns, in chunks that start inside their
    buffers (an offset), or one chunk."""
    n = draw(st.integers(0, 6))
    columns = draw(st.lists(polars_column(n), max_size=5))
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=3)))
    return n, columns, cuts


def make_polars(n, columns, cuts):
    def series(i, kind, argument, cells):
        name = f"c{i}"
        if kind == "enum":
            return pl.Series(name, cells, dtype=pl.String).cast(pl.Enum(argument))
        if kind == "Null":
            return pl.Series(name, [None] * n, dtype=pl.Null)
        dtype = {"Decimal": pl.Decimal(10, 2), "List": pl.List(pl.Int64), "Array": pl.Array(pl.Int64, 2)}.get(kind)
        return pl.Series(name, cells, dtype=dtype or getattr(pl, kind))

    frame = pl.DataFrame([series(i, *column) for i, column in enumerate(columns)])
    bounds = [0, *cuts, n]
    pieces = [frame.slice(a, b - a) for a, b in zip(bounds, bounds[1:])]
    return pl.concat(pieces, rechunk=False) if columns else frame


def same_bits(codes, twin_codes):
    a, b = codes.to_numpy().astype(np.float64), twin_codes.to_numpy(dtype=np.float64)
    assert a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.mark.skipif(pl is None, reason="polars is not installed here")
@FUZZ
@given(polars_frames())
def test_polars_frames_read_as_their_pandas_twins(plan):
    """Codes, labels, transform and decode of a polars frame are those of
    the pandas frame holding the same data."""
    frame, twin = make_polars(*plan), pandas_twin(make_polars(*plan))
    enc, twin_enc = kavrel.Encoder(), kavrel.Encoder()
    codes, twin_codes = enc.encode(frame), twin_enc.encode(twin)
    assert type(codes) is pl.DataFrame and codes.columns == frame.columns
    assert all(dtype == pl.Float64 for dtype in codes.dtypes)
    same_bits(codes, twin_codes)
    assert enc.labels == twin_enc.labels
    same_bits(enc.transform(frame), twin_codes)
    decoded, twin_decoded = enc.decode(codes), twin_enc.decode(twin_codes)
    assert type(decoded) is pl.DataFrame and decoded.columns == frame.columns
    for c, name in enumerate(frame.columns):
        assert decoded[name].dtype == (pl.String if c in enc.labels else pl.Float64)
        for x, y in zip(decoded[name].to_list(), twin_decoded[name].tolist(), strict=True):
            same_cell(x, y)


def test_waves_of_columns_read_alike_on_both_roads():
    """A table of more cells than the pool reads at once is read a wave of
    columns at a time, each handed on before the next is read: with a cell
    that the calling thread reads, and that writes into the table, in the
    first wave and in the second.  A pool of two threads (a fresh process)
    makes two waves of 1,100,000 x 5."""
    code = """
import numpy as np, kavrel

class ndarray(np.ndarray):
    pass

class Writer:
    def __init__(self, table, at):
        self.table, self.at = table, at
    def __str__(self):
        self.table[self.at] = "written"
        return "writer"

def table(writer_at=None):
    n = 1_100_000
    t = np.empty((n, 5), dtype=object)
    labels = np.array([f"v{i}" for i in range(50)], dtype=object)
    for c in range(5):
        t[:, c] = labels[(np.arange(n) * (c + 7)) % 50]
    t[: n // 2, 2] = 1.5
    t[:, 3] = np.arange(n, dtype=float).tolist()
    if writer_at is not None:
        t[writer_at] = Writer(t, (writer_at[0] + 10, 4))  # into the second wave
    return t

for writer_at in (None, (5, 1), (700_000, 4)):
    direct, general = kavrel.Encoder(), kavrel.Encoder()
    a, b = direct.encode(table(writer_at)), general.encode(table(writer_at).view(ndarray))
    assert np.array_equal(a.view(np.uint64), b.view(np.uint64)), writer_at
    assert direct.labels == general.labels, writer_at
print("ok")
"""
    assert run_python(code, env={"RAYON_NUM_THREADS": "2"}).strip() == "ok"
