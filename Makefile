# Developer entry points.  `make demo` runs the main job, `make test` the
# tests; both install what the machine lacks (tools/bootstrap.sh) and build
# what changed first.  CPython 3.13 is found by tools/find-python.sh
# (override with PYTHON=...).

PYTHON  ?= $(shell tools/find-python.sh)
VENV    ?= .venv
VPY     := $(VENV)/bin/python
BUILD   ?= build/dev
TARGETS ?= all
PKG     := $(BUILD)/pkg
CMAKE_ARGS ?=
JOBS    ?= 2
TESTS   ?= tests
RUN     := PYTHONPATH=$(abspath $(PKG)) $(abspath $(VPY))

.PHONY: all deps venv build wheel demo test bench bench-callgrind lint stubs sanitize test-sanitize clean

all: build

# Debian packages: checked on every build (one dpkg-query when none is
# missing), so a machine that lost one gets it back before CMake runs.
deps:
	@PYTHON="$(PYTHON)" tools/bootstrap.sh system

# The venv and its tools, again whenever the dependency groups change.
$(VENV)/.ready: pyproject.toml tools/bootstrap.sh | deps
	@PYTHON="$(PYTHON)" VENV="$(VENV)" tools/bootstrap.sh venv

venv: deps $(VENV)/.ready

build: venv
	@mkdir -p $(BUILD)
	@$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_ARGS) > $(BUILD).configure.log 2>&1 \
	    || { cat $(BUILD).configure.log; exit 1; }
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS) --target $(TARGETS)
	@$(VPY) tools/devtree.py $(PKG) . standin

# The core wheel into dist/, built once in build/wheel with the venv's tools
# (no build isolation, so ccache and the build tree are reused), and the
# stand-in wheel beside it.
wheel: venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) CMAKE_ARGS="$(CMAKE_ARGS)" $(VPY) -m pip wheel -q \
	    --no-build-isolation --no-deps -w dist -C build-dir=build/wheel . ./standin

demo: build
	$(RUN) -m kelvane_layer demo

test: build
	$(RUN) -m pytest $(TESTS) $(PYTEST_ARGS)

bench: build
	$(RUN) bench/run.py $(BENCH_ARGS)

# Instructions per call of one workload, ours and its floors, under callgrind
# (BENCH_ARGS names it: any part of its entry or workload text).
bench-callgrind: build
	$(RUN) bench/run.py --callgrind "$(BENCH_ARGS)"

# ruff over the Python; mypy --strict and strict pyright over the command
# line, the demo and a host-style script that calls every public function (so
# the stubs must fit typed host code, for either checker); stubtest: the
# shipped .pyi stubs against the built modules.  pyright finds the build tree
# through the venv's interpreter and PYTHONPATH, and is kept from asking PyPI
# whether it is the newest release.
PYRIGHT := PYRIGHT_PYTHON_IGNORE_WARNINGS=1 PYTHONPATH=$(abspath $(PKG)) $(VENV)/bin/pyright \
    --pythonpath $(abspath $(VPY))

lint: build
	$(VENV)/bin/ruff check src standin tests bench tools
	$(RUN) -m mypy --strict standin/src/kelvane_layer tests/host_script.py
	$(PYRIGHT) standin/src tests/host_script.py
	$(RUN) -m mypy.stubtest kelvane_layer._internal

# The docstrings (and literal defaults) of the shipped stubs, rewritten in
# place from the built modules: run it after changing a docstring in a
# module.cpp.  tests/test_stubs.py fails while a stub and its module differ.
stubs: build
	$(RUN) tools/stubdocs.py

# The extensions under AddressSanitizer + UndefinedBehaviorSanitizer, in a
# build tree of their own; the interpreter itself is not instrumented, so the
# runtime is preloaded and leak reports (the interpreter's own) are off.
sanitize:
	$(MAKE) build BUILD=build/asan CMAKE_ARGS="-DKL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

test-sanitize: sanitize
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(abspath build/asan/pkg) $(abspath $(VPY)) -m pytest $(TESTS) $(PYTEST_ARGS)

clean:
	rm -rf build
