# The two set-up commands: `make test` and `make demo`. Each creates .venv with
# CPython 3.13 when it is missing, rebuilds and installs the package from the
# current sources, then runs the tests or the demo.

VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed
WERROR := $(if $(CI),ON,OFF)
ASAN_DIR := build/asan
ASAN_LIBS = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)

.PHONY: all test demo bench install asan clean

all: test

$(PY):
	@interp=$$(tools/find-python) || exit 1; \
	echo "creating $(VENV) with $$interp"; \
	"$$interp" -m venv $(VENV)

$(STAMP): $(PY) pyproject.toml
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis mypy "mcp>=2.3"
	touch $(STAMP)

install: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
		-Ccmake.define.QBA_WERROR=$(WERROR) .

test: install
	$(PY) -m pytest tests

demo: install
	if [ -f examples/demo.py ]; then $(PY) examples/demo.py; fi
	$(PY) -m quindle_brevault_agent replay examples/policy.py examples/events.jsonl --format table || [ $$? -le 2 ]
	$(PY) examples/agent_tools.py

# Cython goes into the benchmark's environment for the compiled-closure
# column; without it (or a C compiler) that column is skipped with a note.
bench: install
	$(PY) -c "import Cython" 2>/dev/null || $(PY) -m pip install -q cython || true
	$(PY) benchmarks/bench.py
	@if [ -f benchmarks/bench_replay.py ]; then $(PY) benchmarks/bench_replay.py; fi

# The extension built with AddressSanitizer and UBSan, and the whole suite run
# against it (CPython itself is not instrumented, so the runtime is preloaded).
asan: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DQBA_SANITIZE=ON -DQBA_WERROR=$(WERROR) \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	rm -rf $(ASAN_DIR)/pkg && mkdir -p $(ASAN_DIR)/pkg
	cp -r src/quindle_brevault_agent $(ASAN_DIR)/pkg/
	cp $(ASAN_DIR)/library*.so $(ASAN_DIR)/pkg/quindle_brevault_agent/
	LD_PRELOAD=$(ASAN_LIBS) ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		QBA_SANITIZED=1 PYTHONPATH=$(abspath $(ASAN_DIR)/pkg) \
		$(PY) -m pytest tests -p no:cacheprovider

clean:
	rm -rf build $(ASAN_DIR) _skbuild dist *.egg-info
