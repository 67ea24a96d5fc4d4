# The two set-up commands: `make test` and `make demo`. Each creates .venv with
# CPython 3.13 when it is missing, rebuilds and installs the package from the
# current sources, then runs the tests or the demo.

VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed
WERROR := $(if $(CI),ON,OFF)
ASAN_DIR := build/asan
ASAN_LIBS = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)

.PHONY: all test demo bench install asan clean venv-check dist-check

all: test

$(PY):
	@interp=$$(tools/find-python) || exit 1; \
	echo "creating $(VENV) with $$interp"; \
	"$$interp" -m venv $(VENV)

# A .venv made by another Python cannot build the extension: say so before pip
# fails on it.
venv-check: $(PY)
	@$(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null || { \
		echo "error: $(VENV) runs $$($(PY) -V 2>&1 | head -n 1), not CPython 3.13." >&2; \
		echo "       Remove it and run make again: rm -rf $(VENV) && make $(or $(MAKECMDGOALS),all)" >&2; \
		exit 1; }

$(STAMP): $(PY) pyproject.toml | venv-check
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.11" cmake ninja pytest hypothesis mypy build twine "mcp>=2.3" "redis>=5"
	$(PY) -m pip install -q "msgspec>=0.18"  # the fast extra: the tests run the reader with and without it
	$(PY) -m pip install -q "dask>=2024.1" "distributed>=2024.1" "fsspec>=2024.1"  # the cluster extra: its tests start a LocalCluster
	touch $(STAMP)

install: venv-check $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
		-Ccmake.define.QBA_WERROR=$(WERROR) .

test: install
	$(PY) -m pytest tests

demo: install
	if [ -f examples/demo.py ]; then $(PY) examples/demo.py; fi
	$(PY) -m quindle_brevault_agent replay examples/policy.py examples/events.jsonl --format table || [ $$? -le 2 ]
	$(PY) -m quindle_brevault_agent test examples/policy.py examples/cases.jsonl
	$(PY) examples/agent_tools.py

# bench_cluster.py makes its 10,000,000 events once, in benchmarks/results/.
# Cython goes into the benchmark's environment for the compiled-closure
# column, the peers cedarpy and casbin for the engine's, and limits and
# pyrate-limiter for the limits'; without one of them (or a C compiler) its
# column is skipped with a note.
bench: install
	$(PY) -c "import Cython" 2>/dev/null || $(PY) -m pip install -q cython || true
	$(PY) -c "import cedarpy" 2>/dev/null || $(PY) -m pip install -q cedarpy || true
	$(PY) -c "import casbin" 2>/dev/null || $(PY) -m pip install -q casbin || true
	$(PY) -c "import limits" 2>/dev/null || $(PY) -m pip install -q limits || true
	$(PY) -c "import pyrate_limiter" 2>/dev/null || $(PY) -m pip install -q pyrate-limiter || true
	$(PY) benchmarks/bench.py
	$(PY) benchmarks/bench_engine.py
	$(PY) benchmarks/bench_limits.py
	@if [ -f benchmarks/bench_replay.py ]; then $(PY) benchmarks/bench_replay.py; fi
	$(PY) benchmarks/bench_lint.py
	$(PY) benchmarks/bench_audit.py
	$(PY) benchmarks/bench_proxy.py
	$(PY) benchmarks/bench_cluster.py

# The extension built with AddressSanitizer and UBSan, and the whole suite run
# against it (CPython itself is not instrumented, so the runtime is preloaded).
asan: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DQBA_SANITIZE=ON -DQBA_WERROR=$(WERROR) \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	rm -rf $(ASAN_DIR)/pkg && mkdir -p $(ASAN_DIR)/pkg
	cp -r src/quindle_brevault_agent $(ASAN_DIR)/pkg/
	cp $(ASAN_DIR)/library*.so $(ASAN_DIR)/_engine*.so $(ASAN_DIR)/_audit*.so $(ASAN_DIR)/pkg/quindle_brevault_agent/
	LD_PRELOAD=$(ASAN_LIBS) ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		QBA_SANITIZED=1 PYTHONPATH=$(abspath $(ASAN_DIR)/pkg) \
		$(PY) -m pytest tests -p no:cacheprovider

# The sdist and the wheel built from it, checked as an index would check them.
dist-check: $(STAMP)
	rm -rf dist
	$(PY) -m build --no-isolation --outdir dist .
	$(PY) -m twine check --strict dist/*

clean:
	rm -rf build $(ASAN_DIR) _skbuild dist *.egg-info
	@echo "kept $(VENV), the virtual environment (rm -rf $(VENV) removes it too)"
