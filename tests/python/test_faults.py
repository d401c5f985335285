"""Hostile input and a short system: every call ends in a result or a Python
exception, never a signal; an interrupt is never swallowed; the pool is the
size it is told.  Anything that could crash runs in a subprocess."""

import os
import textwrap

import numpy as np
import pytest

import kavrel
from conftest import ndarray, obj_column, run_python



def run_isolated(code, **env):
    """Runs `code` in a fresh interpreter; its standard output, and it must
    have ended on its own (no signal)."""
    proc = run_python(textwrap.dedent(code), env=env, check=False)
    assert proc.returncode >= 0, f"killed by signal {-proc.returncode}:\n{proc.stderr[-3000:]}"
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


# --- a cell that changes the array being read --------------------------------

RESIZING_CELLS = """
    import numpy as np, kavrel

    class ndarray(np.ndarray):
        pass

    def outcome(table):
        try:
            out = kavrel.Encoder().encode(table)
            return ("result", out.shape, out[:3].tolist())
        except BaseException as exc:
            return (type(exc).__name__, str(exc).split(", traceback")[0])

    def shrinking(cls):
        a = np.ndarray.__new__(cls, (100000, 1), dtype=object)
        a[:, 0] = 1.0
        class Shrink:
            def __float__(self):
                a.resize((1, 1), refcheck=False)
                return 2.0
        a[0, 0] = Shrink()
        return a

    def growing(cls):
        a = np.ndarray.__new__(cls, (1000, 2), dtype=object)
        a[:, :] = "x"
        class Grow:
            def __str__(self):
                a.resize((200000, 3), refcheck=False)
                return "g"
        a[1, 0] = Grow()
        return a

    def reshaping(cls):
        a = np.ndarray.__new__(cls, (1000, 2), dtype=object)
        a[:, :] = "x"
        class Reshape:
            def __str__(self):
                a.shape = (2, 1000)
                return "r"
        a[3, 0] = Reshape()
        return a

    def dropping(cls):
        # The cell's last reference is the reader's own: the array changes
        # when the reader lets go of it, after the cell's code has returned.
        a = np.ndarray.__new__(cls, (200000, 1), dtype=object)
        a[:, 0] = "x"
        class Dropped:
            def __str__(self):
                a[0, 0] = "y"
                return "d"
            def __del__(self):
                a.resize((1, 1), refcheck=False)
        a[0, 0] = Dropped()
        return a

    for make in (shrinking, growing, reshaping, dropping):
        print(make.__name__, outcome(make(np.ndarray)) == outcome(make(ndarray)), outcome(make(np.ndarray)))
"""


def test_a_cell_that_resizes_the_array_ends_as_the_item_reads_do():
    # The direct read of an exact array must stop trusting its pointers once
    # a cell's code has changed the array; the item reads of a subclass are
    # the reference.
    lines = run_isolated(RESIZING_CELLS).splitlines()
    assert [line.split()[:2] for line in lines] == [
        ["shrinking", "True"],
        ["growing", "True"],
        ["reshaping", "True"],
        ["dropping", "True"],
    ], lines


# --- the float protocol ------------------------------------------------------


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __str__(self):
        return "cell"


@pytest.mark.parametrize("road", [np.asarray, lambda a: a.view(ndarray)], ids=["direct", "items"])
def test_interrupts_in_the_float_protocol_reach_the_caller(road):
    for exc in (KeyboardInterrupt, SystemExit, MemoryError):
        table = road(obj_column(1.0, Raises(exc()), "a"))
        with pytest.raises(exc):
            kavrel.Encoder().encode(table)
    # Any other exception means "not a number": the column is text.
    for exc in (ValueError, TypeError, OverflowError, ZeroDivisionError):
        table = road(obj_column(1.0, Raises(exc()), "a"))
        assert kavrel.Encoder().encode(table).tolist() == [[0.0], [2.0], [1.0]]


# --- the pool ------------------------------------------------------------------

COUNT_POOL_THREADS = """
    import os, numpy as np, pandas
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    import kavrel
    table = np.array([["b", 1.0] * 4] * 50000, dtype=object)
    for _ in range(3):
        kavrel.Encoder().encode(table)
    print(threads() - before)
"""


@pytest.mark.parametrize("setting", ["1", "3", "1000"])
def test_the_pool_has_exactly_the_threads_it_is_told_up_to_its_cap(setting):
    cap = 4 * len(os.sched_getaffinity(0))  # threads_per_processor in src/core/pool.hpp
    assert run_isolated(COUNT_POOL_THREADS, RAYON_NUM_THREADS=setting).strip() == str(min(int(setting), cap))


EXHAUSTED_ADDRESS_SPACE = """
    import resource, numpy as np, kavrel
    table = np.array([["b", 1.0], ["a", 2.0]] * 20000, dtype=object)
    def vm_size():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    # Room for a few threads at most, before the pool exists.
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + ({room} << 20), hard))
    try:
        print("first", kavrel.Encoder().encode(table)[:2].tolist())
    except MemoryError as exc:
        print("first MemoryError", exc)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print("later", kavrel.Encoder().encode(table)[:2].tolist())
"""


@pytest.mark.parametrize("room_mib", [40, 300, 1200])
def test_a_short_address_space_raises_or_runs_on_the_threads_it_has(room_mib):
    code = EXHAUSTED_ADDRESS_SPACE.replace("{room}", str(room_mib))
    out = run_isolated(code, RAYON_NUM_THREADS="64").splitlines()
    assert out[0] in ("first [[1.0, 1.0], [0.0, 2.0]]", "first MemoryError " + POOL_THREADS_UNAVAILABLE), out
    assert out[1] == "later [[1.0, 1.0], [0.0, 2.0]]", out


POOL_THREADS_UNAVAILABLE = "the system cannot start a thread for the worker pool"
