# One entry point for set-up, build, tests and benchmarks.
# Every target installs what is missing first, so a fresh Debian machine needs nothing else.

SHELL := /bin/bash
APT_PACKAGES := build-essential cmake pkg-config libeigen3-dev libtbb-dev libniftiio-dev \
                libisal-dev libssl-dev nlohmann-json3-dev libgtest-dev \
                libnifti2-dev libznz-dev
PY_PACKAGES := pytest numpy nibabel scikit-build-core cmake ninja
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
CORE_BUILD := build/core
JOBS ?= $(shell nproc)

.PHONY: all deps venv build core-tests py-tests test demo bench clean

all: build

# apt packages: install only what dpkg does not already report as installed.
$(STAMPS)/apt:
	@mkdir -p $(STAMPS)
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@touch $@

deps: $(STAMPS)/apt

# The project's interpreter is CPython 3.13: pyenv's 3.13.0 where present, else python3.13 on PATH.
$(PY):
	@base=""; \
	if command -v pyenv >/dev/null 2>&1 && pyenv prefix 3.13.0 >/dev/null 2>&1; then base="$$(pyenv prefix 3.13.0)/bin/python3.13"; \
	elif command -v python3.13 >/dev/null 2>&1; then base="$$(command -v python3.13)"; \
	else echo "CPython 3.13 not found (pyenv 3.13.0 or python3.13)" >&2; exit 1; fi; \
	"$$base" -m venv $(VENV)

$(STAMPS)/venv: $(PY)
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

test: deps venv core-tests py-tests

demo: build
	$(PY) -m tarvix demo

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build $(STAMPS)
