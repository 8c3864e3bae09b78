# Convenience targets. `make check` is what CI runs: install, build with warnings as errors,
# run the C++ tests, install the extension, run the Python tests.
BUILD ?= build
PYTHON ?= python3
JOBS ?= $(shell nproc)

.PHONY: deps build test-core install test-python check demo bench clean

deps:
	bash scripts/install-deps.sh

build:
	cmake -S . -B $(BUILD) -G Ninja -DTARNWELL_WERROR=ON -DTARNWELL_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install:
	$(PYTHON) -m pip install --quiet --disable-pip-version-check .

test-python: install
	$(PYTHON) -m pytest -q tests/python

check: deps test-core test-python

demo: install
	$(PYTHON) examples/quickstart.py

bench: build
	$(BUILD)/bench/kernels_bench

clean:
	rm -rf $(BUILD)
