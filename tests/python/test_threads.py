"""One encoder used from several Python threads, and from inside its own calls.

A call is held open by a cell whose conversion to text waits on an event;
waiting on an event lets other threads run with or without the GIL, so these
tests do not depend on the build. The waits have generous limits only so that
a broken module fails the test instead of hanging it.
"""

import copy
import pickle
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import kavrel
from conftest import (
    FREE_THREADED_BUILD,
    WAIT,
    CallInThread,
    FailingStr,
    gil_enabled,
    held_in_str,
    learned_encoder,
    obj_array,
    obj_column,
)


@pytest.mark.skipif(not FREE_THREADED_BUILD, reason="needs a free-threaded build")
def test_the_threads_here_run_without_the_gil():
    # Every test module is imported by now (scikit-learn, Dask and
    # hypothesis among them): one that turned the GIL on would leave the
    # thread tests here, and the stress test, running one thread at a time.
    assert not gil_enabled()


def test_running_encode_excludes_every_other_call():
    enc = learned_encoder()
    with held_in_str(enc.encode) as call:
        with pytest.raises(RuntimeError) as excinfo:
            enc.encode(obj_column("q"))
        assert str(excinfo.value) == "Already borrowed"
        with pytest.raises(RuntimeError) as excinfo:
            enc.decode(np.array([[0.0]]))
        assert str(excinfo.value) == "Already mutably borrowed"
        # Another encoder is not affected.
        assert kavrel.Encoder().encode(obj_column("q")).tolist() == [[0.0]]
    assert call.join().tolist() == [[1.0], [0.0]]
    # The held encode finished and stored what it learned.
    assert enc.decode(np.array([[0.0], [1.0]])).tolist() == [["held"], ["x"]]


def test_running_decode_excludes_encode_but_not_decode():
    enc = learned_encoder()
    with held_in_str(enc.decode) as call:
        with pytest.raises(RuntimeError) as excinfo:
            enc.encode(obj_column("q"))
        assert str(excinfo.value) == "Already borrowed"
        assert enc.decode(np.array([[1.0]])).tolist() == [["b"]]
        assert enc.decode(pd.DataFrame({"c": [0.0]}))["c"].tolist() == ["a"]
    # The held decode coded its own text afresh ("held": 0, "x": 1).
    assert call.join().tolist() == [["b"], ["a"]]
    # Everything works again, and the learned state is still the first one.
    assert enc.decode(np.array([[0.0]])).tolist() == [["a"]]
    enc.encode(obj_column("new"))
    assert enc.decode(np.array([[0.0]])).tolist() == [["new"]]


def test_what_was_learned_is_read_as_decode_reads():
    enc = learned_encoder()
    with held_in_str(enc.encode) as call:
        for read in (lambda: enc.labels, lambda: pickle.dumps(enc), lambda: copy.deepcopy(enc)):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                read()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            enc.__setstate__(None)
    call.join()

    # Readers that meet before the strs are made all get the same ones.
    enc = kavrel.Encoder.from_labels({0: [f"w{i}" for i in range(50_000)]}, 1)
    barrier = threading.Barrier(4)
    codes = np.arange(50_000.0).reshape(-1, 1)

    def read(k):
        barrier.wait()
        return enc.labels[0] if k % 2 else enc.decode(codes)[:, 0]

    calls = [CallInThread(read, k) for k in range(4)]
    tuples = [c.join() for c in calls]
    assert all(t[7] is enc.labels[0][7] for t in tuples)


class ReenteringCell:
    """A text cell whose str() calls back into the encoder that reads it."""

    def __init__(self, enc):
        self.enc = enc
        self.outcomes = []

    def __str__(self):
        for method, arg in (("decode", np.array([[0.0]])), ("encode", obj_column("z"))):
            try:
                self.outcomes.append((method, getattr(self.enc, method)(arg).tolist()))
            except RuntimeError as exc:
                self.outcomes.append((method, str(exc)))
        return "cell"


def test_reentry_from_inside_a_running_call():
    enc = learned_encoder()
    cell = ReenteringCell(enc)
    # Below a text, so that str() is called on the cell.
    enc.encode(obj_column("x", cell))
    assert cell.outcomes == [("decode", "Already mutably borrowed"), ("encode", "Already borrowed")]

    enc = learned_encoder()
    cell = ReenteringCell(enc)
    enc.decode(obj_column("x", cell))
    # A nested decode shares the borrow; a nested encode is refused.
    assert cell.outcomes == [("decode", [["a"]]), ("encode", "Already borrowed")]
    assert enc.decode(np.array([[1.0]])).tolist() == [["b"]]


def make_table(seed, n_rows=1000):
    # 5,000 cells: enough for the pool's threads to read them.
    rng = np.random.default_rng(seed)
    words = np.array(["ant", "Bee", "cat", "", "é", "nan", "NaN", "<NA>", "None", "10", "9"], dtype=object)
    return obj_array(
        zip(
            words[rng.integers(0, len(words), n_rows)],
            rng.normal(size=n_rows).tolist(),
            [f"k{i}" for i in rng.integers(0, 50, n_rows)],
            rng.integers(0, 3, n_rows).tolist(),
            [str(i) if i % 3 else float(i) for i in rng.integers(0, 40, n_rows)],
        )
    )


def run_together(n_threads, work):
    """Runs work(i) on n_threads threads that start at the same moment."""
    barrier = threading.Barrier(n_threads)

    def start(i):
        barrier.wait(WAIT)
        return work(i)

    calls = [CallInThread(start, i) for i in range(n_threads)]
    return [call.join() for call in calls]


def test_threads_decode_with_one_encoder():
    enc = kavrel.Encoder()
    codes = enc.encode(make_table(1))
    frame_codes = pd.DataFrame(codes, columns=list("abcde"))
    expected = enc.decode(codes).tolist()
    expected_frame = enc.decode(frame_codes)
    expected_dtypes = expected_frame.dtypes.tolist()
    expected_cells = expected_frame.to_numpy().tolist()

    def work(i):
        for _ in range(10):
            assert enc.decode(codes).tolist() == expected
            frame_out = enc.decode(frame_codes)
            assert list(frame_out.columns) == list("abcde")
            assert frame_out.dtypes.tolist() == expected_dtypes
            assert frame_out.to_numpy().tolist() == expected_cells
        return i

    assert run_together(4, work) == [0, 1, 2, 3]


def test_threads_with_their_own_encoders_match_one_thread():
    tables = [make_table(seed) for seed in range(6)]

    def encode_decode(table):
        enc = kavrel.Encoder()
        codes = enc.encode(table)
        return codes, enc.decode(codes).tolist()

    expected = [encode_decode(t) for t in tables]

    def work(i):
        results = [encode_decode(tables[i]) for _ in range(5)]
        for codes, texts in results:
            np.testing.assert_array_equal(codes, expected[i][0])
            assert texts == expected[i][1]
        return i

    assert run_together(len(tables), work) == list(range(len(tables)))


def test_failing_calls_do_not_disturb_other_threads(panic_exception):
    table = make_table(9)
    enc = kavrel.Encoder()
    expected = enc.encode(table)

    bad = obj_column("x", FailingStr())

    def work(i):
        own = kavrel.Encoder()
        for _ in range(10):
            if i % 2:
                with pytest.raises(panic_exception):
                    own.encode(bad)
                with pytest.raises(TypeError):
                    own.encode([1])
            else:
                np.testing.assert_array_equal(own.encode(table), expected)
        return i

    assert run_together(4, work) == [0, 1, 2, 3]


@pytest.mark.skipif(not gil_enabled(), reason="without the GIL a writer during a call is a data race the user avoids")
def test_a_thread_writing_into_the_table_waits_for_the_pool_with_the_gil():
    """The pool reads the cells while the calling thread holds the GIL, so a
    thread that writes into the table (fresh strs and floats, freeing the
    cells they replace) runs only between the reads: every cell is coded as
    one of the values it held."""
    n_rows = 40_000
    table = np.empty((n_rows, 2), dtype=object)
    table[:, 0] = [f"a{r % 7}" for r in range(n_rows)]
    table[:, 1] = [float(r % 5) for r in range(n_rows)]
    done = threading.Event()

    def write():
        r = 0
        while not done.is_set():
            r = (r * 7919 + 1) % n_rows
            table[r, 0] = "".join(["b", str(r % 7)])
            table[r, 1] = float(r % 5) + 0.5

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(20):
            enc = kavrel.Encoder()
            codes = enc.encode(table)
            texts = enc.decode(codes)[:, 0].tolist()
            assert all(t in (f"a{r % 7}", f"b{r % 7}") for r, t in enumerate(texts))
            assert all(x in (r % 5, r % 5 + 0.5) for r, x in enumerate(codes[:, 1].tolist()))
    finally:
        done.set()
        writer.join()
        sys.setswitchinterval(interval)
