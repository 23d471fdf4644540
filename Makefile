# One-command set-up, build, test and demo. Every target installs what it needs first, so a
# fresh machine needs nothing but this repository.

PYTHON ?= python3.11
VENV := .venv
VPY := $(VENV)/bin/python
# The optimised build: unit tests, benchmark programs and the module that goes into the wheel.
BUILD ?= build/ci
APT_PACKAGES := build-essential libssl-dev libicu-dev rapidjson-dev libgtest-dev clang-format unicode-data \
  clang-19 libclang-rt-19-dev chromium chromium-driver postgresql
JOBS ?= $(shell nproc)
# One clang build with AddressSanitizer and UndefinedBehaviorSanitizer serves both the unit tests
# and the fuzzers, so the libraries are compiled with sanitizers once.
SANITIZE_BUILD ?= build/sanitize
# The unit tests and the many-threads test under ThreadSanitizer.
TSAN_BUILD ?= build/tsan
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 4
# The wheel: pip builds it in $(BUILD) with the same settings as `configure`, so nothing is
# compiled twice; auditwheel then copies the ICU and libcrypto it loads into it.
WHEELHOUSE := $(BUILD)/wheelhouse
MANYLINUX ?= manylinux_2_35_x86_64
SKBUILD_REUSE := -C build-dir=$(BUILD) -C cmake.define.KEST_BUILD_TESTS=ON -C cmake.define.KEST_WERROR=ON
# Stages of `make test` that share no build directory, run side by side; a stage with a build
# directory of its own (such as a ThreadSanitizer build) joins them here.
TEST_STAGES := lint check sanitizer-tests tsan

.PHONY: all setup system-deps venv configure build unit-tests sanitize-build asan-unit-tests tsan fuzz-build fuzz \
  fuzz-smoke sanitizer-tests wheel sdist sdist-check install pytest conformance conformance-vectors check lint format \
  test demo serve bench clean

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
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize-build: setup
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-19 -DKEST_BUILD_TESTS=ON -DKEST_BUILD_FUZZERS=ON -DKEST_BUILD_BENCH=OFF \
	  -DKEST_BUILD_MODULE=OFF
	$(VENV)/bin/ninja -C $(SANITIZE_BUILD) -j $(JOBS)

asan-unit-tests: sanitize-build
	ASAN_OPTIONS=detect_leaks=1 $(VENV)/bin/ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

fuzz-build: sanitize-build

tsan: setup
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_SANITIZE_THREADS=ON \
	  -DKEST_BUILD_TESTS=ON -DKEST_BUILD_BENCH=OFF -DKEST_BUILD_MODULE=OFF
	$(VENV)/bin/ninja -C $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

fuzz: fuzz-build
	fuzz/run.sh $(SANITIZE_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run.sh $(SANITIZE_BUILD) $(FUZZ_SMOKE_SECONDS)

sanitizer-tests: asan-unit-tests fuzz-smoke

# Built after the unit tests' build so that two builds never run in $(BUILD) at once; an old
# wheel never stays beside the new one.
wheel: build
	rm -rf $(WHEELHOUSE) dist/*.whl
	$(VPY) -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps $(SKBUILD_REUSE) \
	  -w $(WHEELHOUSE) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(MANYLINUX) -w dist \
	  $(WHEELHOUSE)/*.whl
	@ls -l dist/*.whl

sdist: setup
	rm -rf dist/*.tar.gz
	$(VPY) -m build --sdist --no-isolation --outdir dist .

# The source distribution alone builds a wheel with the same files as `make wheel`'s.
sdist-check: sdist wheel
	$(VPY) tools/sdist_check.py dist/*.tar.gz $(WHEELHOUSE)/*.whl --work $(BUILD)/sdist-check

# The Python tests run against the installed wheel, the libraries it carries included.
install: wheel
	$(VPY) -m pip install -q --disable-pip-version-check --force-reinstall --no-deps dist/*.whl

# The tests that need a PostgreSQL server start one of the system's packages, which must be there.
pytest: install
	cd tests && KEST_REQUIRE_POSTGRES=1 ../$(VPY) -m pytest -q -p no:cacheprovider -n $(JOBS) --dist loadfile

# The wheel is packed in the unit tests' build directory, so the Python tests follow them.
check: unit-tests
	$(MAKE) --no-print-directory pytest conformance

lint: setup
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

format: setup
	$(VENV)/bin/ruff format .
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

test:
	$(MAKE) --no-print-directory -j $(words $(TEST_STAGES)) --output-sync=target $(TEST_STAGES)

# The language-neutral vectors against the installed module, and their regeneration from the case
# tables (only when the module's documented behaviour changes on purpose).
conformance: install
	$(VPY) -m kest.conformance --vectors conformance/vectors
	$(VPY) conformance/generate.py --check

conformance-vectors: install
	$(VPY) conformance/generate.py

demo: install
	$(VPY) -m kest.demo

# The reference host on 127.0.0.1:8080, data in ./kest-data (the development set-up holds its extra).
serve: install
	$(VENV)/bin/kest serve

bench: install configure
	$(VENV)/bin/ninja -C $(BUILD) -j $(JOBS) json_throughput
	$(VPY) bench/run.py --build-dir $(BUILD)

clean:
	rm -rf build dist $(VENV)
