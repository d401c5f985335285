"""polars frames: recognised without importing polars, read from their Arrow
buffers (every buffer checked first), and given back as polars frames.  The
generated comparison with pandas frames is in test_fuzz_roads."""

import datetime

import numpy as np
import pytest

import kavrel
from conftest import run_python

pl = pytest.importorskip("polars", reason="polars loads only on the GIL interpreter (314)")
pa = pytest.importorskip("pyarrow")


def test_columns_of_other_types_are_read_as_their_python_cells():
    """Dates, durations: str() of the objects polars makes of them, a null
    missing; pandas turns dates and durations into its own types, so these
    alone differ from to_pandas().  Lists: str() of the numpy arrays that
    to_pandas() holds, so that the table has the labels it has in pandas."""
    frame = pl.DataFrame({
        "day": [datetime.date(2024, 5, 1), None, datetime.date(2023, 1, 2)],
        "gap": [datetime.timedelta(days=1), datetime.timedelta(0), None],
        "list": [[1, 2], None, [3]],
        "n": [1, 2, 3],
    })
    enc = kavrel.Encoder()
    codes = enc.encode(frame)
    assert enc.labels == {0: ("2023-01-02", "2024-05-01"), 1: ("0:00:00", "1 day, 0:00:00"),
                          2: ("[1 2]", "[3]")}
    np.testing.assert_array_equal(codes.to_numpy(), [[1, 1, 0, 1], [np.nan, 0, np.nan, 2], [0, np.nan, 1, 3]])
    assert enc.decode(codes).rows() == [("2024-05-01", "1 day, 0:00:00", "[1 2]", 1.0),
                                        (None, "0:00:00", None, 2.0), ("2023-01-02", None, "[3]", 3.0)]
    pairs = pl.DataFrame({"a": [[1, 2], [3, 4]]}, schema={"a": pl.Array(pl.Int64, 2)})
    enc.encode(pairs)
    assert enc.labels == {0: ("[1 2]", "[3 4]")}


def test_a_dictionary_column_in_many_chunks_costs_what_its_rows_cost():
    """An Enum of 100,000 categories in 300 chunks of 2 rows: every chunk
    exports the whole category list, which is read once, not per chunk."""
    out = run_python('''
import resource, polars as pl, kavrel
cats = [f"category {i:06}" for i in range(100_000)]
pieces = [pl.DataFrame({"e": pl.Series([cats[(7 * k) % 100_000], cats[k]], dtype=pl.Enum(cats))}) for k in range(300)]
frame = pl.concat(pieces, rechunk=False)
assert frame["e"].n_chunks() == 300
with open("/proc/self/statm") as f:
    resident = int(f.read().split()[1]) * resource.getpagesize() // 1024
before = max(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, resident)
enc, whole = kavrel.Encoder(), kavrel.Encoder()
codes = enc.encode(frame)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(codes.equals(whole.encode(frame.rechunk())) and enc.labels == whole.labels, grown // 1024)
''')
    same, grown_mib = out.split()
    assert same == "True" and int(grown_mib) < 128


def test_transform_checks_the_learned_column_names():
    enc = kavrel.Encoder()
    enc.encode(pl.DataFrame({"city": ["Oslo", "Bern"], "n": [1, 2]}))
    assert enc.transform(pl.DataFrame({"city": ["Bern", "Rome"], "n": [4, 5]})).rows()[0] == (0.0, 4.0)
    with pytest.raises(ValueError, match="column 1"):
        enc.transform(pl.DataFrame({"city": ["Bern"], "m": [4]}))
    with pytest.raises(ValueError, match="columns"):
        enc.transform(pl.DataFrame({"city": ["Bern"]}))


def test_only_frames_named_dataframe_are_taken():
    """A pyarrow Table, or a polars frame of a class named otherwise, is
    refused like any type of another name."""
    class Frame(pl.DataFrame):
        pass

    for table, name in ((pa.table({"a": ["x", "y"]}), "Table"), (Frame({"a": ["x"]}), "Frame")):
        with pytest.raises(TypeError, match=f"Unsupported type: '{name}'"):
            kavrel.Encoder().encode(table)


def test_polars_is_never_imported_to_recognise_a_table():
    out = run_python(
        "import sys, numpy as np, pandas as pd, kavrel\n"
        "enc = kavrel.Encoder()\n"
        "enc.decode(enc.encode(pd.DataFrame({'a': ['x', 'y']})))\n"
        "enc.transform(np.array([['x']], dtype=object))\n"
        "try: enc.encode([1])\n"
        "except TypeError: pass\n"
        "print('polars' in sys.modules)\n")
    assert out.splitlines()[-1] == "False"


def test_buffers_that_fail_a_check_are_never_read():
    """Out-of-range dictionary indices, decreasing offsets, a view beyond
    its buffer, bytes that are not UTF-8 in a string column or a
    dictionary: the column is read from its Python cells instead (in a
    subprocess: a read beyond a buffer may crash)."""
    out = run_python('''
import numpy as np, polars as pl, pyarrow as pa, kavrel

class Exported:
    def __init__(self, array):
        self.array = array
    def __arrow_c_stream__(self, requested_schema=None):
        return pa.chunked_array([self.array]).__arrow_c_stream__(requested_schema)
    def to_list(self):
        return ["cell", None]

def buf(values, dtype):
    return pa.py_buffer(np.array(values, dtype=dtype).tobytes())

broken = [
    pa.DictionaryArray.from_arrays(pa.array([0, 1 << 30], pa.int32()), pa.array(["a"]), safe=False),
    pa.Array.from_buffers(pa.string(), 2, [None, buf([0, 1 << 30, 1], np.int32), pa.py_buffer(b"ab")]),
    pa.Array.from_buffers(pa.string_view(), 1, [None, buf([20, 0, 0, 1 << 30], np.int32), pa.py_buffer(b"x" * 20)]),
    pa.Array.from_buffers(pa.string(), 2, [None, buf([0, 1, 3], np.int32), pa.py_buffer(b"a\\xff\\xfe")]),
    pa.DictionaryArray.from_arrays(pa.array([0, 1], pa.int8()),
                                   pa.Array.from_buffers(pa.string(), 2, [None, buf([0, 1, 2], np.int32),
                                                                          pa.py_buffer(b"a\\xc3")])),
]

class DataFrame(pl.DataFrame):
    def get_columns(self):
        return [Exported(array) for array in broken]

frame = DataFrame({f"c{i}": [0, 0] for i in range(len(broken))})
enc = kavrel.Encoder()
codes = enc.encode(frame)
print(enc.labels == {i: ("cell",) for i in range(len(broken))}, codes.rows()[0], np.isnan(codes.to_numpy()[1]).all())
print(enc.decode(codes).rows())
''')
    assert out.splitlines() == ["True (0.0, 0.0, 0.0, 0.0, 0.0) True",
                                "[('cell', 'cell', 'cell', 'cell', 'cell'), (None, None, None, None, None)]"]
