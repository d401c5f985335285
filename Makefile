# The two commands: `make demo` and `make test`.  Each sets up what is
# missing (see scripts/provision-*), builds, and runs.
ENVS := ft 314 314t

.PHONY: demo test core-tests python-tests tsan-core sanitize sanitize-address sanitize-thread bench bench-quick \
	bench-core bench-pool bench-dask wheel wheel-test typecheck

demo:
	scripts/py ft demo/demo.py

test: core-tests python-tests

core-tests:
	@for e in $(ENVS); do scripts/core-tests $$e || exit 1; done

python-tests:
	@for e in $(ENVS); do echo "== pytest on $$e"; scripts/py $$e -m pytest -q -p no:cacheprovider || exit 1; done

# The core's unit tests built with ThreadSanitizer.
tsan-core:
	scripts/core-tests ft thread

# The module under sanitizers (scripts/sanitize): the whole Python suite on
# ft with ASan and UBSan, then the thread and stress tests on free-threaded
# CPython 3.14 built with ThreadSanitizer.  Any report fails.
sanitize: sanitize-address sanitize-thread

sanitize-address:
	scripts/sanitize address

sanitize-thread:
	scripts/sanitize thread

# Timings against pandas, scikit-learn, pyarrow and polars in every
# environment (scripts/bench); writes docs/benchmarks.md and .png.
# bench-quick: small tables, one run each, written to build/bench/quick/.
bench:
	scripts/bench

bench-quick:
	scripts/bench --quick

# The encoding core alone (bench/core_bench.cpp, Google Benchmark), on ft,
# with pools of 1 and 2 threads: cells per second of label_encode and of the
# table driver, and the string hash.  BENCH_ARGS go to the benchmark, e.g.
# BENCH_ARGS=--benchmark_filter=string_hash.
bench-core:
	scripts/bench-core ft $(BENCH_ARGS)

# What a small call and the exit cost for RAYON_NUM_THREADS from 2 to
# 100,000 (bench/pool_size.py), in every environment: the same above the
# pool's cap of a few threads per processor.
bench-pool:
	@for e in $(ENVS); do scripts/py $$e bench/pool_size.py || exit 1; done

# Packaging (scripts/wheel, scripts/wheel-test): a manylinux wheel for each
# environment in dist/ (cp313t, cp314, cp314t), built with build isolation as `pip
# install .` builds, without libtbb (the module loads the tbb package's);
# then, in each environment, the Python suite against its wheel installed
# in a fresh venv, with the newest tbb and the one built against.
wheel:
	@for e in $(ENVS); do scripts/wheel $$e || exit 1; done

wheel-test:
	@for e in $(ENVS); do echo "== wheel-test on $$e"; scripts/wheel-test $$e || exit 1; done

# mypy --strict on the shipped stubs and on tests/typing/usage.py, and
# stubtest against the module (scripts/typecheck).
typecheck:
	scripts/typecheck

# The Dask road (kavrel_sklearn.dask.encode_dask) on a local cluster of two
# worker processes against one encode, in DASK_ENV: 314 unless named, or
# 314t (`make bench-dask DASK_ENV=314t`), the two where Dask is installed.
# Slow, so not part of `make bench`.  BENCH_ARGS go to bench/dask_bench.py,
# e.g. BENCH_ARGS="--rows 4000000 --partitions 40".
DASK_ENV ?= 314
bench-dask:
	scripts/py $(DASK_ENV) bench/dask_bench.py $(BENCH_ARGS)
