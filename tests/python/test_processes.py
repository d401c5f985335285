"""The module across process boundaries: a fork() child, with or without the
parent's pool, and subinterpreters, which it refuses.  Each case runs in a
fresh interpreter, and every wait in it has a deadline, so that a hang
fails the test instead of stalling the suite."""

import textwrap

import pytest

from conftest import run_python

FORKED = """
    import multiprocessing, os, pickle, signal, sys, tempfile, threading, time, warnings
    import numpy as np, pandas as pd, kavrel

    warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads is the point

    rng = np.random.default_rng(7)
    n = 40_000
    ids = np.array([f"id{i:07d}" for i in rng.permutation(n)], dtype=object)
    few = np.array(["x", "y", "nan", "z"], dtype=object)[rng.integers(0, 4, n)]
    wide = np.empty((n, 4), dtype=object)
    wide[:, 0], wide[:, 1], wide[:, 2], wide[:, 3] = ids, few, rng.random(n).tolist(), few[::-1]
    # Every road that loops on the pool: distinct ids by partition, few
    # strings by reduction, several text columns at once, Arrow strings.
    TABLES = [wide, pd.DataFrame({"ids": pd.array(ids, dtype="string[pyarrow]"), "few": few})]

    def fingerprint(_=None):
        out = []
        for table in TABLES:
            enc = kavrel.Encoder()
            codes = enc.encode(table)
            out.append((np.asarray(codes).tobytes(), np.asarray(enc.decode(codes), dtype=object).tolist()))
        return out

    def threads():
        return len(os.listdir("/proc/self/task"))

    def reap(pid, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.02)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return "hung"

    mode, road = "{mode}", "{road}"
    before = fingerprint() if mode != "none" else None
    stop, inside = threading.Event(), threading.Event()

    def keep_encoding():
        enc = kavrel.Encoder()
        while not stop.is_set():
            inside.set()
            enc.encode(wide)

    if mode == "busy":
        threading.Thread(target=keep_encoding, daemon=True).start()
        inside.wait()

    if road == "fork":
        path = os.path.join(tempfile.mkdtemp(), "child")
        pid = os.fork()
        if pid == 0:
            at_start = threads()
            result = fingerprint()
            with open(path, "wb") as out:
                pickle.dump((result, threads() - at_start), out)
            sys.exit(0)  # through the interpreter's and the libraries' exit
        status = reap(pid)
        children = []
        if status == 0:
            with open(path, "rb") as got:
                result, started = pickle.load(got)
            children.append(result)
        print("child", status, "started", started if status == 0 else None)
    else:
        with multiprocessing.get_context("fork").Pool(2) as workers:
            children = workers.map_async(fingerprint, range(4)).get(timeout=120)
    stop.set()
    after = fingerprint()
    print("same", all(c == after for c in children), before in (None, after), len(children))
"""


@pytest.mark.parametrize("road", ["fork", "multiprocessing"])
@pytest.mark.parametrize("mode", ["idle", "busy", "none"])
def test_a_forked_child_encodes_and_the_parent_goes_on(mode, road):
    """idle: the parent's pool exists, idle, at the fork; busy: another
    parent thread is inside a call; none: the parent never made its pool.
    A child of a parent with a pool starts no thread, one without makes a
    pool of its own."""
    code = textwrap.dedent(FORKED).replace("{mode}", mode).replace("{road}", road)
    out = run_python(code, env={"RAYON_NUM_THREADS": "2"})
    lines = out.splitlines()
    if road == "fork":
        assert lines[0] == f"child 0 started {2 if mode == 'none' else 0}", out
    assert lines[-1] == f"same True True {1 if road == 'fork' else 4}", out


SUBINTERPRETERS = """
    import _interpreters
    import numpy as np

    if "{first}" == "main":
        import kavrel
    for name in ("isolated", "legacy"):
        interp = _interpreters.create(name)
        try:
            failure = _interpreters.exec(interp, "import kavrel")
        finally:
            _interpreters.destroy(interp)
        print(name, failure and failure.formatted)
    import kavrel
    print(kavrel.Encoder().encode(np.array([["b"], ["a"]], dtype=object)).tolist())
"""


@pytest.mark.parametrize("first", ["main", "sub"])
def test_subinterpreters_refuse_the_module(first):
    """Isolated or legacy, before or after the main interpreter's import:
    ImportError, and the main interpreter's module still works."""
    out = run_python(textwrap.dedent(SUBINTERPRETERS.replace("{first}", first)))
    refused = "ImportError: module kavrel does not support loading in subinterpreters"
    assert out.splitlines() == [f"isolated {refused}", f"legacy {refused}", "[[1.0], [0.0]]"], out
