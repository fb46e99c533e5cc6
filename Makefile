# Set-up, build and test on a fresh Debian machine (root or sudo).
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
APT_PACKAGES := g++ pkg-config libxxhash-dev libgtest-dev libbenchmark-dev libsodium-dev valgrind binutils qemu-user-static libsimde-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: check-layers all setup deps system-deps venv install build-cpp build-asan test test-python test-cpp test-asan check demo bench clean

all: install

# System packages and the venv, once: each is redone only when its list changes.
setup: deps

# Debian packages only when one is missing; probed again only when the list changes.
SYSTEM_STAMP := build/.system-deps
$(SYSTEM_STAMP): Makefile
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
	@mkdir -p $(dir $@) && touch $@
system-deps: $(SYSTEM_STAMP)

$(VENV)/.deps: requirements-dev.txt
	@[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@touch $@

venv: $(VENV)/.deps
deps: system-deps venv

# Builds the extension with pip (scikit-build-core) and installs it into the venv,
# again only when a source of the installed package changed.
PACKAGE_SOURCES := $(shell find src python cmake tools -type f -not -name '*.pyc' 2>/dev/null) \
	CMakeLists.txt pyproject.toml
INSTALL_STAMP := $(VENV)/.installed
$(INSTALL_STAMP): $(SYSTEM_STAMP) $(VENV)/.deps $(PACKAGE_SOURCES)
	$(VPY) -m pip install -q --no-build-isolation .
	@touch $@
install: $(INSTALL_STAMP)

CMAKE := $(VENV)/bin/cmake
CMAKE_COMMON := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(VPY))

build-cpp: deps
	$(CMAKE) -S . -B build/test $(CMAKE_COMMON) -DKESTROVA_TESTS=ON -DKESTROVA_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/test -j $(JOBS)

build-asan: deps
	$(CMAKE) -S . -B build/asan $(CMAKE_COMMON) -DKESTROVA_TESTS=ON -DKESTROVA_PYTHON=OFF -DKESTROVA_SANITIZE=ON -DKESTROVA_VERIFY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/asan -j $(JOBS)

# The protocol tests run once more on each backend the default choice leaves
# out here: serial (processors without AVX2) and, where IFMA is the default,
# AVX2 (processors without IFMA).
PROTOCOL_TESTS := tests/python/test_protocol.py tests/python/test_operations.py tests/python/test_curve.py \
  tests/python/test_engine.py --deselect tests/python/test_engine.py::test_build_store_peak_memory_grows_with_the_store_once
test-python: install build-cpp
	KESTROVA_INTERNAL_DIR=$(abspath build/test/tests/python/internal) $(VPY) -m pytest -q --durations=10 tests/python
	@if grep -qw avx2 /proc/cpuinfo; then \
	  KESTROVA_BACKEND=serial KESTROVA_INTERNAL_DIR=$(abspath build/test/tests/python/internal) \
	    $(VPY) -m pytest -q $(PROTOCOL_TESTS); \
	else echo "no AVX2 here: the run above was on the serial backend"; fi
	@if grep -qw avx512ifma /proc/cpuinfo && grep -qw avx2 /proc/cpuinfo; then \
	  KESTROVA_BACKEND=avx2 KESTROVA_INTERNAL_DIR=$(abspath build/test/tests/python/internal) \
	    $(VPY) -m pytest -q $(PROTOCOL_TESTS); \
	else echo "no IFMA here: the run above was the AVX2 run, where there is AVX2"; fi

test-cpp: build-cpp
	cd build/test && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The ASan build and the wheels compile at the lowest priority beside the Python tests, which spend
# much of their time waiting on processes, clusters and timeouts; the sanitizer tests and the wheel
# checks follow once both are done. The wheels' tools are installed first: pip must not change the
# venv while the tests use it.
test: check-layers
	$(MAKE) install build-cpp $(VENV)/.wheel-deps
	@mkdir -p build; echo "building the ASan tests and the wheels beside the Python tests (build/background.log)"; \
	setsid -w nice -n 19 $(MAKE) build-asan wheel > build/background.log 2>&1 & background=$$!; \
	trap 'kill -- -$$background 2>/dev/null' INT TERM; \
	if ! $(MAKE) test-python test-cpp; then \
		echo "stopping the background build: a test failed"; kill -- -$$background 2>/dev/null; wait $$background; exit 1; fi; \
	if ! wait $$background; then echo "the ASan build or a wheel failed:"; tail -n 60 build/background.log; exit 1; fi
	$(MAKE) test-asan wheel-check

# The quick loop: the layers, the C++ tests and pytest on the default backend without
# the tests marked slow (kills, clusters, large inputs); no sanitizers, no other backends, no wheels.
check: check-layers install build-cpp
	cd build/test && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	KESTROVA_INTERNAL_DIR=$(abspath build/test/tests/python/internal) $(VPY) -m pytest -q -x -p no:cacheprovider -m "not slow" tests/python

demo: install
	$(VPY) examples/parties.py

bench: install
	$(CMAKE) -S . -B build/bench $(CMAKE_COMMON) -DKESTROVA_BENCH=ON -DKESTROVA_PYTHON=OFF
	$(CMAKE) --build build/bench -j $(JOBS)
	$(VPY) bench/run_all.py

clean:
	rm -rf build dist

# One abi3 wheel per architecture under dist/, for glibc 2.17 on, built by
# zig (cmake/zig-<arch>.cmake; on x86-64 the field and group arithmetic by g++,
# cmake/host_arithmetic.cmake); they install without a compiler.
WHEEL_DIR := dist
WHEEL_ARCHS := x86_64 aarch64
WHEEL_GLIBC := 2_17
AARCH64_SYSROOT := build/aarch64-sysroot
.PHONY: wheel wheel-check

$(VENV)/.wheel-deps: requirements-wheel.txt $(VENV)/.deps
	$(VPY) -m pip install -q -r requirements-wheel.txt
	@touch $@

# After install, so that the two never build at once; again only when a source changed.
WHEEL_STAMP := $(WHEEL_DIR)/.built
# Both architectures at once: zig builds each one's C++ runtime on one core
# while the other compiles. Each build's output goes to build/wheel-<arch>.log.
$(WHEEL_STAMP): $(PACKAGE_SOURCES) $(INSTALL_STAMP) $(VENV)/.wheel-deps
	rm -f $(WHEEL_DIR)/kestrova-*.whl
	@mkdir -p build; pids=""; for arch in $(WHEEL_ARCHS); do \
	  echo "building the $$arch wheel (build/wheel-$$arch.log)"; \
	  _PYTHON_HOST_PLATFORM=manylinux_$(WHEEL_GLIBC)_$$arch $(VPY) -m pip wheel -q --no-build-isolation --no-deps \
	    -w $(WHEEL_DIR) -Cbuild-dir=build/wheel-$$arch -Cinstall.strip=false \
	    -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig-$$arch.cmake) . > build/wheel-$$arch.log 2>&1 & \
	  pids="$$pids $$!"; \
	done; failed=""; set -- $(WHEEL_ARCHS); for pid in $$pids; do \
	  wait $$pid || { failed=1; echo "the $$1 wheel failed:"; tail -n 40 build/wheel-$$1.log; }; shift; \
	done; [ -z "$$failed" ]
	@touch $@
wheel: $(WHEEL_STAMP)

$(AARCH64_SYSROOT)/.complete: tests/wheel/aarch64_sysroot.sh
	tests/wheel/aarch64_sysroot.sh $(abspath $(AARCH64_SYSROOT)) $(abspath $(VENV))/bin/pip

wheel-check: wheel $(AARCH64_SYSROOT)/.complete
	$(VPY) tests/wheel/check_wheel.py --sysroot $(AARCH64_SYSROOT) README.md $(WHEEL_DIR)/kestrova-*.whl

# No include runs back up the layers, and the formulas' internals stay with the arithmetic.
check-layers:
	$(PYTHON) tests/layers/check_layers.py
