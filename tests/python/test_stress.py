"""Threads hammering shared encoders and shared inputs, every result checked
against the model.  Bounded in time by KAVREL_STRESS_SECONDS (a few seconds
by default; the sanitizer runs ask for more)."""

import math
import os
import random
import threading
import time

import numpy as np
import pandas as pd

import kavrel
from conftest import obj_array
from model import model_column, model_decode, model_labels

SECONDS = float(os.environ.get("KAVREL_STRESS_SECONDS", "4"))
THREADS = 6
N_COLS = 3
BORROW_CONFLICTS = {"Already borrowed", "Already mutably borrowed"}

TEXTS = ["a", "b", "B", "", "None", "é", "中文", "\U0001f600", "x" * 40, "1.5", "nan", "NaN", "<NA>", "NAN"]
NUMBERS = [0.0, -0.0, 1.0, 2.5, 1e23, math.nan, math.inf, 7, True, np.int64(3), np.float32(0.5)]


def random_table(rng, n_rows):
    """Columns of cells: some all numbers, some mixed, some all text."""
    columns = []
    for _ in range(N_COLS):
        kind = rng.choice(["numbers", "mixed", "texts"])
        pool = NUMBERS if kind == "numbers" else TEXTS if kind == "texts" else NUMBERS + TEXTS
        columns.append([rng.choice(pool) for _ in range(n_rows)])
    return columns


def as_input(columns, kind):
    rows = [list(row) for row in zip(*columns)]
    table = obj_array(rows)
    if kind == "frame":
        return pd.DataFrame(table, columns=[f"c{i}" for i in range(N_COLS)], dtype=object)
    return table


def same(got, want):
    return all(
        (isinstance(g, float) and isinstance(w, float) and math.isnan(g) and math.isnan(w)) or g == w
        for g, w in zip(got, want, strict=True)
    )


def columns_of(result):
    array = result.to_numpy() if isinstance(result, pd.DataFrame) else result
    return [array[:, c].tolist() for c in range(array.shape[1])]


def run_threads(work, n):
    """Runs work(i, rng) on n threads started together; returns their errors."""
    barrier = threading.Barrier(n)
    errors = []

    def main(i):
        rng = random.Random(i)
        barrier.wait()
        try:
            work(i, rng)
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            errors.append(exc)

    threads = [threading.Thread(target=main, args=(i,)) for i in range(n)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def test_threads_sharing_an_encoder_get_what_the_model_says():
    rng = random.Random(0)
    tables = [random_table(rng, rng.randrange(0, 40)) for _ in range(12)]
    # Whatever a decode meets, it is the state that one of these encodes left.
    learned_states = [model_labels(table) for table in tables]
    shared = kavrel.Encoder()
    deadline = time.monotonic() + SECONDS
    counts = {"encode": 0, "decode": 0, "conflict": 0}

    def work(i, rng):
        # Most threads share one encoder; the others have their own.
        enc = shared if i < THREADS - 2 else kavrel.Encoder()
        while time.monotonic() < deadline:
            k = rng.randrange(len(tables))
            columns, kind = tables[k], rng.choice(["array", "frame"])
            try:
                if rng.random() < 0.6:
                    codes = enc.encode(as_input(columns, kind))
                    counts["encode"] += 1
                    for got, cells in zip(columns_of(codes), columns):
                        assert same(got, model_column(cells)[2])
                else:
                    codes = [model_column(cells)[2] for cells in columns]
                    n_rows = len(columns[0])
                    table = np.array(codes, dtype=np.float64).T.reshape(n_rows, N_COLS)
                    source = pd.DataFrame(table, columns=[f"c{i}" for i in range(N_COLS)]) if kind == "frame" else table
                    out = columns_of(enc.decode(source))
                    counts["decode"] += 1
                    missing = None if kind == "frame" else "NaN"
                    assert any(
                        all(same(g, w) for g, w in zip(out, model_decode(codes, state, missing)))
                        for state in [{}] + learned_states
                    ), (k, kind, out)
            except RuntimeError as exc:
                assert str(exc) in BORROW_CONFLICTS, exc
                counts["conflict"] += 1

    assert run_threads(work, THREADS) == []
    assert counts["encode"] and counts["decode"], counts


def test_threads_changing_the_cells_of_a_table_being_read():
    # Every value a cell can hold is kept alive here, so replacing a cell
    # frees nothing that a reader may still be looking at.
    values = [*TEXTS, *NUMBERS, "".join(["kept", "-", "alive"])]
    texts = {str(v) for v in values} | {"1", "2.5", "1" + "0" * 23, "7", "3", "0.5", "0", "-0"}
    n_rows = 2000
    table = np.empty((n_rows, N_COLS), dtype=object)
    table[:, :] = "start"
    deadline = time.monotonic() + SECONDS

    def work(i, rng):
        if i < 2:  # writers
            while time.monotonic() < deadline:
                table[rng.randrange(n_rows), rng.randrange(N_COLS)] = rng.choice(values)
            return
        enc = kavrel.Encoder()
        while time.monotonic() < deadline:
            out = enc.decode(enc.encode(table))
            for column in columns_of(out):
                for cell in column:
                    assert (isinstance(cell, float)) or cell in texts or cell == "start", cell

    assert run_threads(work, THREADS) == []
