"""wheel_check.py VENV TBB_FLOOR  checks, in a fresh process of the venv VENV
where the wheel is installed, what the wheel promises a user's process.

- kavrel and kavrel_sklearn are the installed ones, not a checkout's;
- its requirements on numpy and tbb are floors (TBB_FLOOR, the tbb-devel it
  was built with, for tbb), with no exact version and no upper bound;
- a process that loads the tbb package's libtbb itself first, as another
  library on it would, then imports kavrel and encodes on its pool, maps
  exactly one libtbb: that one.

Run by scripts/wheel-test with each tbb release it installs; prints the
libtbb and its release.
"""

import ctypes
import importlib.metadata
import os
import pathlib
import re
import sys

from packaging.requirements import Requirement

venv, tbb_floor = pathlib.Path(sys.argv[1]).resolve(), sys.argv[2]

tbb = importlib.metadata.distribution("tbb")
libtbb = next(tbb.locate_file(f) for f in tbb.files if f.name == "libtbb.so.12")
ctypes.CDLL(os.fspath(libtbb))

import numpy as np  # noqa: E402

import kavrel  # noqa: E402
import kavrel_sklearn  # noqa: E402

for module in (kavrel, kavrel_sklearn):
    assert pathlib.Path(module.__file__).resolve().is_relative_to(venv), module.__file__

requires = {r.name: str(r) for r in map(Requirement, importlib.metadata.requires("kavrel"))}
for name, floor in (("numpy", "2"), ("tbb", tbb_floor)):
    assert requires[name] == f"{name}>={floor}", requires[name]

# Enough rows for the pool to split the work among its threads.
rows = 200_000
table = np.array([[f"s{i % 1000}", f"t{i % 7}"] for i in range(rows)], dtype=object)
codes = kavrel.Encoder().encode(table)
assert codes.shape == (rows, 2) and codes[:, 0].max() == 999 and codes[:, 1].max() == 6

# Any libtbb, under its own name or a grafted copy's (libtbb-<hash>.so.12).
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "/" in line}
mapped = {p for p in mapped if re.match(r"libtbb[-.]", os.path.basename(p))}
assert mapped == {os.path.realpath(libtbb)}, mapped
print(f"[kavrel] one libtbb, the tbb package's ({tbb.version}): {os.path.realpath(libtbb)}", file=sys.stderr)
