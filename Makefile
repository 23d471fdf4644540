# One-command set-up, build, test and demo. Every target installs what it needs first, so a
# fresh machine needs nothing but this repository.

PYTHON ?= python3.11
VENV := .venv
VPY := $(VENV)/bin/python
BUILD ?= build/ci
APT_PACKAGES := build-essential libssl-dev libicu-dev rapidjson-dev libgtest-dev clang-format unicode-data
JOBS ?= $(shell nproc)

.PHONY: all setup system-deps venv configure build unit-tests install pytest lint format test demo bench clean

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

test: lint unit-tests pytest

demo: install
	$(VPY) -m kest.demo

bench: install configure
	$(VENV)/bin/ninja -C $(BUILD) -j $(JOBS) json_throughput
	$(VPY) bench/run.py --build-dir $(BUILD)

clean:
	rm -rf build $(VENV)
