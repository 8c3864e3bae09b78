# Convenience targets. `make check` is what CI runs: install, build with warnings as errors, run
# the C++ tests, install the extension, run the Python tests and the crash tests (reduced counts),
# the C++ tests again under ASan+UBSan and the concurrency tests under TSan, and a short run of
# every fuzz target over its corpus.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
PYTHON ?= python3
JOBS ?= $(shell nproc)
# Seconds of new inputs per fuzz target in the smoke run.
FUZZ_SECONDS ?= 20
# The tests that run threads, chosen by name so that a new one is never left out: every C++ test
# that starts a thread has "Concurrent", "Concurrency" or "Threads" in its suite or test name.
CONCURRENCY_TESTS ?= *Concurren*:*Threads*

.PHONY: deps build test-core install test-python test-crash crash-long test-asan test-tsan \
	fuzz-build fuzz-smoke check demo bench clean

deps:
	bash scripts/install-deps.sh

# The extension is built (with warnings as errors under `make check`) by `install`, not here.
build:
	cmake -S . -B $(BUILD) -G Ninja -DTARNWELL_WERROR=ON -DTARNWELL_BUILD_BENCH=ON \
		-DTARNWELL_BUILD_PYTHON=OFF
	cmake --build $(BUILD) -j $(JOBS)

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install:
	$(PYTHON) -m pip install --quiet --disable-pip-version-check $(PIP_FLAGS) .

test-python: install
	$(PYTHON) -m pytest -q tests/python

# Kill-and-recover cycles and fault injection at the reduced counts of tests/crash/conftest.py.
test-crash: install
	$(PYTHON) -m pytest -q tests/crash

# The full runs: 1,000 SIGKILL cycles per variant and 5,000 operations per fault run.
crash-long: install
	$(PYTHON) -m pytest -q -s tests/crash --kill-cycles 1000 --fault-steps 5000

# Built with clang-19 where present, without -Werror (see scripts/sanitize.sh).
test-asan:
	bash scripts/sanitize.sh address,undefined $(ASAN_BUILD) '*' $(JOBS)

test-tsan:
	bash scripts/sanitize.sh thread $(TSAN_BUILD) '$(CONCURRENCY_TESTS)' $(JOBS)

fuzz-build:
	CC=clang-19 CXX=clang++-19 cmake -S . -B $(FUZZ_BUILD) -G Ninja -DTARNWELL_BUILD_FUZZ=ON \
		-DTARNWELL_BUILD_PYTHON=OFF -DTARNWELL_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-smoke: fuzz-build
	bash scripts/fuzz-smoke.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

check: PIP_FLAGS = --config-settings=cmake.define.TARNWELL_WERROR=ON
check: deps test-core test-python test-crash test-asan test-tsan fuzz-smoke

demo: install
	$(PYTHON) examples/quickstart.py

bench: build
	$(BUILD)/bench/kernels_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
