"""Side-by-side timings of kavrel and its peers on the same tables, in the
environment this interpreter belongs to.

Run through `make bench` (or `make bench-quick`), which runs it in each
environment (scripts/bench) and then writes docs/benchmarks.md and
docs/benchmarks.png from what each run saved (bench/report.py).  Every
figure is the median of repeated runs after a warm-up, measured in this one
process, except the pool-size runs and the peak memory, which need a fresh
process each (the pool is sized once per process).

Every peer starts from the same data as kavrel, and the codes it gives are
checked against kavrel's before anything is timed.
"""

import argparse
import copy
import gc
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd

import kavrel
import scaling

ROOT = pathlib.Path(__file__).resolve().parent.parent
ALPHABET = list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") + ["é", "ø", "ß", "ж", "中"]
ASCII = list("abcdefghijklmnopqrstuvwxyz0123456789")
# pandas 3's default `str` dtype; pandas 2.3 has the same dtype as an opt-in.
ARROW_STR = pd.StringDtype("pyarrow", na_value=np.nan)
# A peer whose warm-up takes longer than this is timed once, not `repeat` times.
SLOW_SECONDS = 4.0


# --- tables --------------------------------------------------------------------

def distinct_strings(count, rng, shortest=5, longest=20, alphabet=ALPHABET):
    lengths = rng.integers(shortest, longest + 1, size=count)
    letters = rng.integers(0, len(alphabet), size=int(lengths.sum()))
    out, pos = set(), 0
    for n in lengths:
        out.add("".join(alphabet[i] for i in letters[pos:pos + n]))
        pos += n
    while len(out) < count:
        n = int(rng.integers(shortest, longest + 1))
        out.add("".join(alphabet[i] for i in rng.integers(0, len(alphabet), size=n)))
    return np.array(sorted(out), dtype=object)


def text_column(rows, distinct, rng, **kw):
    values = distinct_strings(distinct, rng, **kw)
    return values[rng.integers(0, distinct, size=rows)]


def wide_table(rows, rng):
    """4 text columns of 10 to 1,000,000 distinct 5-20 character strings
    (some non-ASCII), then 4 float columns."""
    cards = [10, 1_000, min(100_000, rows), min(1_000_000, rows)]
    m = np.empty((rows, 8), dtype=object)
    for c, card in enumerate(cards):
        m[:, c] = text_column(rows, card, rng)
    for c in range(4, 8):
        m[:, c] = rng.standard_normal(rows).tolist()
    return m


LOW_CARDS = [10, 100, 1_000, 50_000]


def low_cardinality_table(rows, rng):
    """4 text columns of 10, 100, 1,000 and 50,000 distinct ASCII strings of
    3-12 bytes, then 3 float columns."""
    m = np.empty((rows, 7), dtype=object)
    for c, card in enumerate(LOW_CARDS):
        m[:, c] = text_column(rows, min(card, rows), rng, shortest=3, longest=12, alphabet=ASCII)
    for c in range(4, 7):
        m[:, c] = rng.standard_normal(rows).tolist()
    return m


def id_column(rows, rng):
    """Every cell distinct: 11-byte ids sharing their first bytes, shuffled."""
    return np.array([f"id{i:09d}" for i in rng.permutation(rows)], dtype=object).reshape(-1, 1)


def frame_of(m, text_dtype=object):
    frame = pd.DataFrame(m, columns=[f"c{i}" for i in range(m.shape[1])])
    for name in frame.columns:
        frame[name] = frame[name].astype(text_dtype if isinstance(m[0, int(name[1:])], str) else float)
    return frame


def dtype_label(dtype):
    """pandas' names: str[pyarrow] is pandas 3's default (NaN for missing),
    string[...] the older dtype (NA for missing)."""
    if isinstance(dtype, pd.StringDtype):
        return f"{dtype.name}[{dtype.storage}]"
    return str(dtype)


# --- timing --------------------------------------------------------------------

def timed(fn, repeat):
    """(median seconds, number of timed runs, result of the warm-up).  The
    collector is kept out of the timed runs, as timeit keeps it: the tables
    alive here hold tens of millions of objects, and on the free-threaded
    interpreter each collection walks them all, so a run that met one would
    be timed with it whichever tool it timed."""
    t = time.perf_counter()
    result = fn()  # warm-up
    if time.perf_counter() - t > SLOW_SECONDS:
        repeat = 1
    times = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            t = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t)
    finally:
        gc.enable()
    return statistics.median(times), repeat, result


def median_time(fn, repeat):
    return timed(fn, repeat)[0]


# --- peers ---------------------------------------------------------------------
# Each returns the codes of the columns it handles, one 1-D array (or Series)
# per column, so that they can be checked against kavrel's.

def pandas_factorize(frame):
    out = []
    for name in frame.columns:
        col = frame[name]
        if col.dtype.kind == "f":
            out.append(col.to_numpy(dtype=float))
            continue
        codes, _ = pd.factorize(col, sort=True)
        out.append(np.where(codes < 0, np.nan, codes.astype(float)))
    return out


def pandas_factorize_array(m, text_cols):
    out = []
    for c in range(m.shape[1]):
        if c in text_cols:
            codes, _ = pd.factorize(m[:, c], sort=True)
            out.append(np.where(codes < 0, np.nan, codes.astype(float)))
        else:
            out.append(m[:, c].astype(float))
    return out


def pandas_factorize_columns(columns):
    return [pd.factorize(col, sort=True)[0] for col in columns]


def sklearn_encoder(text):
    from sklearn.preprocessing import OrdinalEncoder

    enc = OrdinalEncoder()
    codes = enc.fit_transform(text)
    return enc, codes


def arrow_arrays(columns):
    import pyarrow as pa

    out = []
    for col in columns:
        array = pa.array(col) if isinstance(col, pd.Series) else pa.array(col, type=pa.string())
        out.append(array.combine_chunks() if isinstance(array, pa.ChunkedArray) else array)
    return out


def pyarrow_encode(columns):
    return pyarrow_encode_arrays(arrow_arrays(columns))


def pyarrow_encode_arrays(arrays):
    import pyarrow.compute as pc

    out = []
    for array in arrays:
        dictionary = array.dictionary_encode()
        order = pc.array_sort_indices(dictionary.dictionary)
        rank = np.empty(len(order), dtype=np.float64)
        rank[np.asarray(order)] = np.arange(len(order), dtype=np.float64)
        out.append(rank[dictionary.indices.to_numpy(zero_copy_only=False)])
    return out


def polars_encode(columns):
    """From the same columns as kavrel: the conversion is part of the time."""
    import polars as pl

    return [pl.Series(col, dtype=pl.String).rank("dense") - 1 for col in columns]


def polars_frame(columns):
    import polars as pl

    return pl.DataFrame({f"c{i}": pl.Series(col, dtype=pl.String) for i, col in enumerate(columns)})


def polars_rank(frame):
    """On polars' own String columns, built beforehand: only the rank."""
    import polars as pl

    return frame.select(pl.all().rank("dense") - 1)


def columns_of(out):
    if isinstance(out, np.ndarray) and out.ndim == 2:
        return [out[:, c] for c in range(out.shape[1])]
    if hasattr(out, "get_columns"):  # a polars DataFrame
        out = out.get_columns()
    return [np.asarray(col.to_numpy() if hasattr(col, "to_numpy") else col, dtype=float) for col in out]


def input_bytes(table):
    """The bytes an encode must read at least once: the cells' own storage
    (a pointer per object cell and its text's UTF-8 bytes, or a float's 8;
    StringDType's 16 bytes a cell and its text; Arrow's buffers; numbers'
    array)."""
    if isinstance(table, pd.DataFrame):
        return sum(column_bytes(table[c]) for c in table.columns)
    return column_bytes(table)


def column_bytes(values):
    if isinstance(values, pd.Series):
        if hasattr(values.array, "__arrow_array__"):
            import pyarrow as pa

            return pa.array(values.array).nbytes
        values = values.to_numpy()
    if values.dtype == object or isinstance(values.dtype, np.dtypes.StringDType):
        per_cell = 8 if values.dtype == object else 16
        texts = sum(len(v.encode()) if isinstance(v, str) else 8 for v in values.ravel())
        return per_cell * values.size + texts
    return values.nbytes


def memcpy_floor(table):
    """Copies the input's bytes once and writes the result's (a float64 per
    cell) once, between buffers already in memory: what no encode of this
    table can beat."""
    source = np.ones(input_bytes(table), dtype=np.uint8)
    read_into = np.empty_like(source)
    result = np.ones(table.shape)
    written = np.empty_like(result)
    read_into[:] = 0
    written[:] = 0

    def copy():
        np.copyto(read_into, source)
        np.copyto(written, result)

    return copy


# --- the runs ------------------------------------------------------------------

class Run:
    """The figures of one environment, as saved for the report."""

    def __init__(self, repeat):
        self.repeat = repeat
        self.rows = []  # dicts: case, tool, peer, code, seconds, runs
        self.notes = []  # peers that could not take a table, and why

    def add(self, case, peer, tool, code, fn, reference=None, columns=None):
        """Times fn; with reference (kavrel's codes as a 2-D array), first
        checks that the codes fn gives for `columns` equal kavrel's."""
        try:
            seconds, runs, result = timed(fn, self.repeat)
        except ImportError as e:
            if e.name == "polars" and not sys._is_gil_enabled():
                self.skip(case, "polars", "publishes no free-threaded build (its abi3 wheels do not load on "
                          "this interpreter): measured in 314")
            else:
                self.skip(case, tool, f"not installed here ({e.name})")
            return
        except Exception as e:  # a peer that cannot take this input
            first = str(e).splitlines()[0] if str(e) else ""
            self.skip(case, tool, f"{type(e).__name__}: {first}"[:160])
            return
        if reference is not None:
            got = columns_of(result)
            want = [reference[:, c] for c in (columns if columns is not None else range(reference.shape[1]))]
            assert len(got) == len(want), (case, tool)
            for g, w in zip(got, want):
                assert np.array_equal(np.asarray(g, dtype=float), w, equal_nan=True), f"{tool} differs on {case}"
        self.rows.append(dict(case=case, peer=peer, tool=tool, code=code, seconds=seconds, runs=runs))
        print(f"{case:52s} {tool:46s} {seconds:8.3f} s", flush=True)

    def skip(self, case, tool, why):
        self.notes.append(dict(case=case, tool=tool, why=why))
        print(f"{case:52s} {tool:46s}  skipped: {why}", flush=True)


def pool_scaling(rows):
    """Encode of one long text column with pools of 1 and 2 threads: as an
    object ndarray (whose cells are read on the pool) and as a
    frame of one Arrow-backed `str` column (read where it lies)."""
    code = (
        "import sys, time, numpy as np, pandas as pd, kavrel\n"
        "sys.path.insert(0, %r)\n"
        "import bench\n"
        "rng = np.random.default_rng(1)\n"
        "col = bench.text_column(%d, 1000, rng).reshape(-1, 1)\n"
        "table = col if sys.argv[1] == 'object' else bench.frame_of(col, bench.ARROW_STR)\n"
        "enc = kavrel.Encoder()\n"
        "print(bench.median_time(lambda: enc.encode(table), 3))\n"
    ) % (str(ROOT / "bench"), rows)
    out = {}
    for kind in ("object", "arrow"):
        for n in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(n))
            res = subprocess.run([sys.executable, "-c", code, kind], env=env, capture_output=True, text=True,
                                 check=True)
            out[f"{kind} {n}"] = float(res.stdout.strip().splitlines()[-1])
    return out


def encode_peak_memory(rows):
    """What one encode of the wide table adds to the peak resident memory,
    in a fresh process: the peak is reset once the table is built."""
    code = (
        "import sys, numpy as np, kavrel\n"
        "sys.path.insert(0, %r)\n"
        "import bench\n"
        "m = bench.wide_table(%d, np.random.default_rng(0))\n"
        "def status(field):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(field + ':'):\n"
        "            return int(line.split()[1])\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "before = status('VmRSS')\n"
        "kavrel.Encoder().encode(m)\n"
        "print(before, status('VmHWM'))\n"
    ) % (str(ROOT / "bench"), rows)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, peak = map(int, res.stdout.split()[-2:])
    return (peak - before) * 1024


def python_threads(tables, repeat):
    """n threads each encoding its own table; n threads decoding with one encoder."""
    results = {}
    shared = kavrel.Encoder()
    codes = shared.encode(tables[0])
    for n in (1, 2, 4):
        def run(target):
            barrier = threading.Barrier(n)

            def body(i):
                barrier.wait()
                target(i)

            threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        enc_time = median_time(lambda: run(lambda i: kavrel.Encoder().encode(tables[i])), repeat)
        dec_time = median_time(lambda: run(lambda i: shared.decode(codes)), repeat)
        results[n] = (enc_time, dec_time)
    return results


def encode_cases(run, rows, long_rows, rng):
    """Every table, encoded by kavrel and by each peer that takes it.
    Returns what the decode cases need: (case name, table, its text column
    indices) for each table."""
    add = run.add
    enc = kavrel.Encoder()
    decodable = []
    # Tables that are only transformed after their encode: the same data as
    # a decoded one, with one str object per cell.
    transformable = []

    def kavrel_codes(table):
        out = enc.encode(table)
        return out.to_numpy() if isinstance(out, pd.DataFrame) else out

    def kavrel_and_floor(case, name, table):
        add(case, "kavrel", "kavrel", f"enc.encode({name})", lambda: enc.encode(table))
        add(case, "memcpy", "floor: the input's bytes read once, the result written once",
            "np.copyto of the same byte counts, single-threaded", memcpy_floor(table))

    def object_table(case, m, text_cols, decoded=True):
        """An object ndarray: kavrel, pandas, scikit-learn, pyarrow, polars;
        for a table not decoded later (the data of one measured already),
        neither scikit-learn nor pyarrow's and polars' own columns, which
        are those of the other table."""
        ref = kavrel_codes(m)
        text = m[:, text_cols]
        columns = [m[:, c] for c in text_cols]
        kavrel_and_floor(case, "m", m)
        # pandas is told which columns hold text: on an object column of
        # floats, factorize would number the floats.
        add(case, "pandas", "pandas factorize(sort=True) per column",
            "pd.factorize(m[:, c], sort=True) for text c; m[:, c].astype(float) for the rest",
            lambda: pandas_factorize_array(m, text_cols), ref)
        if decoded:
            add(case, "sklearn", "sklearn OrdinalEncoder.fit_transform (text)",
                "OrdinalEncoder().fit_transform(m[:, text])", lambda: sklearn_encoder(text)[1], ref, text_cols)
        add(case, "pyarrow", "pyarrow dictionary_encode + sorted remap (text)",
            "pa.array(col, pa.string()).dictionary_encode() + sort", lambda: pyarrow_encode(columns), ref, text_cols)
        if decoded:
            arrays = arrow_arrays(columns)
            add(case, "pyarrow-native", "pyarrow on its own string arrays (text)",
                "arr.dictionary_encode() + sort", lambda: pyarrow_encode_arrays(arrays), ref, text_cols)
        add(case, "polars", "polars from the ndarray (text)",
            'pl.Series(col, dtype=pl.String).rank("dense") - 1', lambda: polars_encode(columns), ref, text_cols)
        if not decoded:
            transformable.append((case.replace("encode", "decode", 1), m, text_cols))
            return
        try:
            frame = polars_frame(columns)
        except ImportError:
            pass
        else:
            add(case, "polars-native", "polars on its own String columns (text)",
                'df.select(pl.all().rank("dense") - 1)', lambda: polars_rank(frame), ref, text_cols)
        decodable.append((case.replace("encode", "decode", 1), m, text_cols))

    def frame_table(case, frame, text_cols, name, decoded=True):
        """A DataFrame: kavrel, pandas, scikit-learn, pyarrow, polars; only
        pandas and pyarrow for a frame not decoded later (a second storage
        of a table measured already)."""
        ref = kavrel_codes(frame)
        text = frame.iloc[:, text_cols]
        columns = [frame.iloc[:, c] for c in text_cols]
        kavrel_and_floor(case, name, frame)
        add(case, "pandas", "pandas factorize(sort=True) per column",
            f"[pd.factorize({name}[c], sort=True) for c in {name}]", lambda: pandas_factorize(frame), ref)
        if decoded:
            add(case, "sklearn", "sklearn OrdinalEncoder.fit_transform (text)",
                f"OrdinalEncoder().fit_transform({name}[text])", lambda: sklearn_encoder(text)[1], ref, text_cols)
        add(case, "pyarrow", "pyarrow dictionary_encode + sorted remap (text)",
            f"pa.array({name}[c]).dictionary_encode() + sort", lambda: pyarrow_encode(columns), ref, text_cols)
        if not decoded:
            if frame.dtypes.iloc[text_cols[0]] == object:
                transformable.append((case.replace("encode", "decode", 1), frame, text_cols))
            return
        add(case, "polars", "polars from the DataFrame (text)",
            f'pl.from_pandas({name}[text]).select(pl.all().rank("dense") - 1)',
            lambda: polars_rank(polars_from_pandas(text)), ref, text_cols)
        decodable.append((case.replace("encode", "decode", 1), frame, text_cols))

    print(f"building tables ({rows:,} rows; a long column of {long_rows:,})...", flush=True)
    wide = wide_table(rows, rng)
    low = low_cardinality_table(rows, rng)
    ids = id_column(rows, rng)
    long_col = text_column(long_rows, 1000, rng).reshape(-1, 1)
    low_text_cols = list(range(len(LOW_CARDS)))

    object_table(f"encode {rows:,} x 8 object ndarray (wide)", wide, [0, 1, 2, 3])
    frame = frame_of(wide)
    frame_table(f"encode {rows:,} x 8 DataFrame, object (wide)", frame, [0, 1, 2, 3], "df")
    frame_string = frame.astype({f"c{i}": "string" for i in range(4)})
    label = dtype_label(frame_string.dtypes.iloc[0])
    frame_table(f"encode {rows:,} x 8 DataFrame, {label} (wide)", frame_string, [0, 1, 2, 3], "df")
    # The Arrow-backed storages, under both pandas: the default `str`, and
    # `string[pyarrow]` where plain `string` is not it already.
    wide_arrow = [ARROW_STR] + ([] if label == "string[pyarrow]" else [pd.StringDtype("pyarrow")])
    for dtype in wide_arrow:
        frame_table(f"encode {rows:,} x 8 DataFrame, {dtype_label(dtype)} (wide)",
                    frame.astype({f"c{i}": dtype for i in range(4)}), [0, 1, 2, 3], "df", decoded=False)

    object_table(f"encode {rows:,} x 7 object ndarray (low-cardinality)", low, low_text_cols)
    frame_table(f"encode {rows:,} x 7 DataFrame, object (low-cardinality)", frame_of(low), low_text_cols, "df")
    # Cells parsed from csv or json, or taken from pandas 3 with
    # to_numpy(dtype=object), have one str object each, where the tables
    # above share their labels' objects.
    for name, table, text_cols in (("wide", wide, [0, 1, 2, 3]), ("low-cardinality", low, low_text_cols)):
        own = scaling.own_strs(table)
        object_table(f"encode {rows:,} x {table.shape[1]} object ndarray, a str per cell ({name})", own, text_cols,
                     decoded=False)
        frame_table(f"encode {rows:,} x {table.shape[1]} DataFrame, object, a str per cell ({name})", frame_of(own),
                    text_cols, "df", decoded=False)
        del own
    arrow_frame = frame_of(low, ARROW_STR)
    frame_table(f"encode {rows:,} x 7 DataFrame, {dtype_label(ARROW_STR)} (low-cardinality)",
                arrow_frame, low_text_cols, "df")
    string_arrow = pd.StringDtype("pyarrow")
    frame_table(f"encode {rows:,} x 7 DataFrame, {dtype_label(string_arrow)} (low-cardinality)",
                arrow_frame.astype({f"c{i}": string_arrow for i in low_text_cols}), low_text_cols, "df",
                decoded=False)

    # numpy's variable-width strings: the 4 text columns of the same table.
    case = f"encode {rows:,} x 4 numpy StringDType array (low-cardinality)"
    sd = low[:, low_text_cols].astype(np.dtypes.StringDType())
    ref = kavrel_codes(sd)
    sd_columns = [sd[:, c] for c in range(sd.shape[1])]
    kavrel_and_floor(case, "s", sd)
    add(case, "pandas", "pandas factorize(sort=True) per column",
        "[pd.factorize(s[:, c], sort=True) for c in ...]", lambda: pandas_factorize_columns(sd_columns), ref)
    add(case, "sklearn", "sklearn OrdinalEncoder.fit_transform (text)",
        "OrdinalEncoder().fit_transform(s)", lambda: sklearn_encoder(sd)[1], ref)
    add(case, "pyarrow", "pyarrow dictionary_encode + sorted remap (text)",
        "pa.array(s[:, c], pa.string()).dictionary_encode() + sort", lambda: pyarrow_encode(sd_columns), ref)
    add(case, "polars", "polars from the ndarray (text)",
        'pl.Series(s[:, c], dtype=pl.String).rank("dense") - 1', lambda: polars_encode(sd_columns), ref)
    decodable.append((case.replace("encode", "decode", 1), sd, low_text_cols))

    object_table(f"encode {rows:,} x 1 distinct ids", ids, [0])
    object_table(f"encode {long_rows:,} x 1 text column (1,000 distinct)", long_col, [0])

    return enc, decodable, transformable, wide


def polars_from_pandas(frame):
    import polars as pl

    return pl.from_pandas(frame)


def fresh_copies(enc, count):
    """Copies of `enc` that have not made their label strs yet: each first
    call on one pays for making them, as the first call after an encode
    does."""
    return [copy.copy(enc) for _ in range(count)]


def add_fitted(run, case, tool, code, table, call, reference=None, columns=None):
    """Times call(encoder, its codes) for a scikit-learn OrdinalEncoder
    fitted to `table`; a table it cannot fit is noted instead."""
    try:
        sk, sk_codes = sklearn_encoder(table)
    except Exception as e:
        run.skip(case, tool, f"{type(e).__name__}: {e}"[:160])
        return
    run.add(case, "sklearn", tool, code, lambda: call(sk, sk_codes), reference, columns)


def decode_cases(run, decodable):
    """Every table's codes back into text: kavrel, later calls and the first
    one; numpy's copy of the codes into an object array (the floor: any
    decode makes at least that); scikit-learn's inverse of its own codes of
    the same table, and pandas' of the text columns."""
    for case, table, text_cols in decodable:
        enc = kavrel.Encoder()
        codes = enc.encode(table)
        run.add(case, "kavrel", "kavrel", "enc.decode(codes)", lambda: enc.decode(codes))
        fresh = fresh_copies(enc, run.repeat + 1)
        run.add(case, "kavrel-first", "kavrel, first call after the encode", "enc.decode(codes)",
                lambda: fresh.pop().decode(codes))
        array = codes.to_numpy() if isinstance(codes, pd.DataFrame) else codes
        run.add(case, "floor", "numpy.array(codes).astype(object) (floor)",
                "np.array(codes).astype(object)", lambda: np.array(array).astype(object))
        if isinstance(table, pd.DataFrame):
            columns = [table.iloc[:, c] for c in text_cols]
        else:
            columns = [table[:, c] for c in text_cols]
        # The whole table, as kavrel decodes it: its float columns come back
        # as floats from scikit-learn too.
        add_fitted(run, case, "sklearn OrdinalEncoder.inverse_transform", "enc.inverse_transform(codes)", table,
                   lambda sk, sk_codes: sk.inverse_transform(sk_codes))
        factorized = [pd.factorize(col, sort=True) for col in columns]
        run.add(case, "pandas", "pandas uniques.take(codes) per column (text)",
                "[uniques.take(codes) for codes, uniques in factorized]",
                lambda: [uniques.take(c) for c, uniques in factorized])


def transform_cases(run, decodable):
    """Every table coded again with what its encode learned: kavrel's
    transform, against kavrel's own encode of the same table (which it
    should never cost more than) and scikit-learn's transform after its own
    fit, of the text columns."""
    for case, table, text_cols in decodable:
        case = case.replace("decode", "transform", 1)
        enc = kavrel.Encoder()
        ref = enc.encode(table)
        ref = ref.to_numpy() if isinstance(ref, pd.DataFrame) else ref
        run.add(case, "kavrel", "kavrel", "enc.transform(m)", lambda: enc.transform(table))
        run.add(case, "kavrel-encode", "kavrel encode of the same table", "enc.encode(m)",
                lambda: kavrel.Encoder().encode(table))
        text = table.iloc[:, text_cols] if isinstance(table, pd.DataFrame) else table[:, text_cols]
        add_fitted(run, case, "sklearn OrdinalEncoder.transform (text)", "enc.transform(m[:, text])", text,
                   lambda sk, _: sk.transform(text), ref, text_cols)


def labels_case(run, ids):
    """The labels of a column of a million distinct ids, as str objects: the
    first read of kavrel's `labels` after an encode (later reads hand out
    the same strs again), against a list of scikit-learn's categories."""
    case = f"labels {ids.shape[0]:,} x 1 distinct ids"
    enc = kavrel.Encoder()
    enc.encode(ids)
    fresh = fresh_copies(enc, run.repeat + 1)
    run.add(case, "kavrel", "kavrel, first read after the encode", "enc.labels", lambda: fresh.pop().labels)
    sk, _ = sklearn_encoder(ids)
    run.add(case, "sklearn", "list(OrdinalEncoder().fit(m).categories_[0])", "list(enc.categories_[0])",
            lambda: list(sk.categories_[0]))


def decodable_ids(decodable):
    return next(table for case, table, _ in decodable if case.endswith("distinct ids"))


def polars_frame_cases(run, decodable):
    """polars frames in and out: kavrel's encode of a polars frame of String
    (and of Categorical) columns against polars' own dense rank of the same
    frame, which gives the same codes.  The frames hold the text columns of
    the object ndarrays that encode_cases made (tables drawn anew could hold
    a missing-value marker, which polars ranks).  Measured where polars
    loads (314)."""
    try:
        import polars as pl
    except ImportError:
        run.skip("polars frames", "kavrel", "polars publishes no free-threaded build (its abi3 wheels do not load "
                 "on this interpreter): measured in 314")
        return
    def text_of(kind):
        case, table, text_cols = next(t for t in decodable if t[0].endswith(f"object ndarray ({kind})"))
        return table[:, text_cols]

    low, wide = text_of("low-cardinality"), text_of("wide")
    n = f"{low.shape[0]:,}"
    for case, m, dtype in ((f"encode {n} x 4 polars frame, String (low-cardinality)", low, pl.String),
                           (f"encode {n} x 4 polars frame, Categorical (low-cardinality)", low, pl.Categorical),
                           (f"encode {n} x 4 polars frame, String (wide text columns)", wide, pl.String)):
        frame = pl.DataFrame({f"c{i}": pl.Series(m[:, i].tolist(), dtype=dtype) for i in range(m.shape[1])})
        enc = kavrel.Encoder()
        reference = enc.encode(frame).to_numpy()
        run.add(case, "kavrel", "kavrel", "enc.encode(df)", lambda: enc.encode(frame))
        run.add(case, "polars-native", 'polars df.select(pl.all().rank("dense") - 1)',
                'df.select(pl.all().rank("dense") - 1)', lambda: polars_rank(frame), reference)


def estimator_cases(run, decodable):
    """scikit-learn's way in: KavrelEncoder().fit_transform against
    OrdinalEncoder().fit_transform, both on the text columns alone of the
    tables that encode_cases made (an estimator is fitted anew each time)."""
    try:
        from kavrel_sklearn import KavrelEncoder
    except ImportError as e:
        run.skip("fit_transform", "KavrelEncoder", f"not installed here ({e.name})")
        return
    for case, table, text_cols in decodable:
        # One wide table (its 4 text columns hold up to 1,000,000 distinct
        # strings), the low-cardinality ones, and neither long column.
        if ("(wide)" in case and "object ndarray" not in case) or " x 1 " in case:
            continue
        rows, _, what = case.split(" ", 1)[1].split(" ", 2)
        _, what = what.split(" ", 1)
        name = f"fit_transform {rows} x {len(text_cols)} {what}, text columns"
        text = table.iloc[:, text_cols] if isinstance(table, pd.DataFrame) else table[:, text_cols]
        ref = KavrelEncoder().fit_transform(text)
        run.add(name, "kavrel", "kavrel_sklearn KavrelEncoder.fit_transform", "KavrelEncoder().fit_transform(text)",
                lambda: KavrelEncoder().fit_transform(text))
        run.add(name, "sklearn", "sklearn OrdinalEncoder.fit_transform", "OrdinalEncoder().fit_transform(text)",
                lambda: sklearn_encoder(text)[1], ref)


# The parameter sets of the drop-in rows: OrdinalEncoder's defaults, codes
# for unknown and missing values, integer codes, rare-label grouping, and a
# frequency order (spelled out as a list for OrdinalEncoder, which has none).
ORDINAL_PARAMS = [
    ("defaults", {}),
    ("unknown -1, missing -2", {"handle_unknown": "use_encoded_value", "unknown_value": -1,
                                "encoded_missing_value": -2}),
    ("int64, missing -1", {"dtype": np.int64, "encoded_missing_value": -1}),
    ("min_frequency 0.01, max_categories 20", {"min_frequency": 0.01, "max_categories": 20}),
    ("frequency order", {"categories": "frequency"}),
]


def ordinal_table(rows, rng):
    """rows x 4 object columns of 10 to 5,000 distinct labels of skewed
    frequency, with None and NaN cells (5% each)."""
    m = np.empty((rows, 4), dtype=object)
    for j, distinct in enumerate((10, 100, 1_000, 5_000)):
        labels = np.array(distinct_strings(distinct, rng), dtype=object)
        weights = 1.0 / np.arange(1, distinct + 1)
        m[:, j] = labels[rng.choice(distinct, rows, p=weights / weights.sum())]
        m[rng.random(rows) < 0.05, j] = None
        m[rng.random(rows) < 0.05, j] = np.nan
    return m


def ordinal_cases(run, rows, rng):
    """KavrelEncoder against OrdinalEncoder with each parameter set:
    fit_transform, transform and inverse_transform of one object table with
    None and NaN cells, codes checked equal."""
    try:
        from kavrel_sklearn import KavrelEncoder
        from sklearn.preprocessing import OrdinalEncoder
    except ImportError as e:
        run.skip("ordinal", "KavrelEncoder", f"not installed here ({e.name})")
        return
    m = ordinal_table(rows, rng)
    shape = f"{rows:,} x 4 object, None and NaN"
    for name, params in ORDINAL_PARAMS:
        theirs = dict(params)
        if params.get("categories") == "frequency":
            theirs["categories"] = [list(c) for c in KavrelEncoder(**params).fit(m).categories_]
        ours = KavrelEncoder(**params).fit(m)
        sk = OrdinalEncoder(**theirs).fit(m)
        codes = sk.transform(m)
        assert np.array_equal(ours.transform(m), codes, equal_nan=True), name
        for step, code, fn, sk_fn in (
            ("fit_transform", "KavrelEncoder(**p).fit_transform(m)", lambda: KavrelEncoder(**params).fit_transform(m),
             lambda: OrdinalEncoder(**theirs).fit_transform(m)),
            ("transform", "enc.transform(m)", lambda: ours.transform(m), lambda: sk.transform(m)),
            ("inverse_transform", "enc.inverse_transform(codes)", lambda: ours.inverse_transform(codes),
             lambda: sk.inverse_transform(codes.copy())),
        ):
            case = f"{step} {shape} ({name})"
            run.add(case, "kavrel", f"kavrel_sklearn KavrelEncoder.{step}", code, fn)
            run.add(case, "sklearn", f"sklearn OrdinalEncoder.{step}", code.replace("KavrelEncoder", "OrdinalEncoder"),
                    sk_fn)


def versions():
    out = {"python": platform.python_version(), "numpy": np.__version__, "pandas": pd.__version__}
    for name, module in (("pyarrow", "pyarrow"), ("scikit-learn", "sklearn"), ("polars", "polars")):
        try:
            out[name] = __import__(module).__version__
        except ImportError:
            out[name] = None
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small tables, one repetition")
    parser.add_argument("--env", required=True, help="the environment's name, for the report")
    parser.add_argument("--command", required=True, help="the command that ran this, for the report")
    parser.add_argument("--out", required=True, type=pathlib.Path, help="where to save the figures (JSON)")
    parser.add_argument("--only", choices=["ordinal"], help="run only these rows, print them, save nothing")
    args = parser.parse_args()
    rows = 100_000 if args.quick else 1_000_000
    long_rows = 1_000_000 if args.quick else 10_000_000
    repeat = 1 if args.quick else 3
    rng = np.random.default_rng(0)

    load_before = os.getloadavg()[0]
    run = Run(repeat)
    if args.only == "ordinal":
        ordinal_cases(run, 400_000, rng)
        print(f"load {load_before:.1f} -> {os.getloadavg()[0]:.1f}")
        return
    enc, decodable, transformable, wide = encode_cases(run, rows, long_rows, rng)
    decode_cases(run, decodable)
    transform_cases(run, decodable + transformable)
    labels_case(run, decodable_ids(decodable))
    polars_frame_cases(run, decodable)
    estimator_cases(run, decodable)
    ordinal_cases(run, rows * 2 // 5, rng)

    # The serial part: reading the Python objects, per cell.
    numeric = np.array(wide[:, 4:], dtype=object)
    read_ns = median_time(lambda: enc.encode(numeric), repeat) / numeric.size * 1e9

    peak_bytes = encode_peak_memory(rows)
    # Fresh processes, one pinned to one CPU with one pool thread.
    scaled = scaling.scaling(rows, repeat)
    scaling.show(scaled)
    pool = pool_scaling(long_rows)
    tables = [wide_table(rows // 4, np.random.default_rng(10 + i)) for i in range(4)]
    threads = python_threads(tables, repeat)

    saved = dict(
        env=args.env,
        command=args.command,
        quick=args.quick,
        repeat=repeat,
        machine=f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}",
        free_threaded=not sys._is_gil_enabled(),
        versions=versions(),
        rows=run.rows,
        notes=run.notes,
        read_ns=read_ns,
        scaling=scaled,
        peak=dict(bytes=peak_bytes, shape=list(wide.shape), out_bytes=wide.shape[0] * wide.shape[1] * 8),
        pool={str(n): s for n, s in pool.items()},
        long_rows=long_rows,
        threads={str(n): list(t) for n, t in threads.items()},
        # Other work on the machine slows every figure: how much there was.
        load=[load_before, os.getloadavg()[0]],
    )
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(saved, indent=1))
    print(f"saved {args.out}")


if __name__ == "__main__":
    main()
