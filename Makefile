# One-command set-up, build, test and demo. Every target installs what it needs first, so a
# fresh machine needs nothing but this repository.

PYTHON ?= python3.11
VENV := .venv
VPY := $(VENV)/bin/python
BUILD ?= build/ci
APT_PACKAGES := build-essential libssl-dev libicu-dev rapidjson-dev libgtest-dev clang-format unicode-data \
  clang-19 libclang-rt-19-dev
JOBS ?= $(shell nproc)
# The unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzers.
ASAN_BUILD ?= build/asan
FUZZ_BUILD ?= build/fuzz
# The unit tests and the many-threads test under ThreadSanitizer.
TSAN_BUILD ?= build/tsan
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 4

.PHONY: all setup system-deps venv configure build unit-tests asan-unit-tests tsan fuzz-build fuzz fuzz-smoke install \
  pytest lint format test demo bench clean

all: test

system-deps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing: $$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VPY):
	$(PYTHON) -m venv $(VENV)

venv: $(VPY)
	@$(VPY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt

setup: system-deps venv

configure: setup
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKEST_BUILD_TESTS=ON -DKEST_WERROR=ON -DPython_EXECUTABLE=$(abspath $(VPY))

build: configure
	$(VENV)/bin/ninja -C $(BUILD) -j $(JOBS)

unit-tests: build
	cd $(BUILD) && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

asan-unit-tests: setup
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_SANITIZE=ON \
	  -DKEST_BUILD_TESTS=ON -DKEST_BUILD_BENCH=OFF -DKEST_BUILD_MODULE=OFF
	$(VENV)/bin/ninja -C $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

tsan: setup
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_SANITIZE_THREADS=ON \
	  -DKEST_BUILD_TESTS=ON -DKEST_BUILD_BENCH=OFF -DKEST_BUILD_MODULE=OFF
	$(VENV)/bin/ninja -C $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

fuzz-build: setup
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
	  -DKEST_BUILD_FUZZERS=ON -DKEST_BUILD_MODULE=OFF
	$(VENV)/bin/ninja -C $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

install: setup
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation .

pytest: install
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider

lint: setup
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

format: setup
	$(VENV)/bin/ruff format .
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

test: lint unit-tests asan-unit-tests fuzz-smoke pytest conformance

# The language-neutral vectors against the installed module, and their regeneration from the case
# tables (only when the module's documented behaviour changes on purpose).
.PHONY: conformance conformance-vectors
conformance: install
	$(VPY) -m kest.conformance --vectors conformance/vectors
	$(VPY) conformance/generate.py --check

conformance-vectors: install
	$(VPY) conformance/generate.py

demo: install
	$(VPY) -m kest.demo

bench: install configure
	$(VENV)/bin/ninja -C $(BUILD) -j $(JOBS) json_throughput
	$(VPY) bench/run.py --build-dir $(BUILD)

clean:
	rm -rf build $(VENV)
