PYTHON := /usr/bin/python3
BUILD := build
# The module from the build tree, and the halvora package beside it (python/halvora).
export PYTHONPATH := $(CURDIR)/$(BUILD)/python:$(CURDIR)/python

.PHONY: deps build test check-asan check-tsan demo bench bench-baseline clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure
	$(PYTHON) -m pytest -q -p no:cacheprovider tests

# Sanitizer runs (docs/checks.md): their own build directories, build-asan and build-tsan.
check-asan: deps
	scripts/check-sanitizer asan

check-tsan: deps
	scripts/check-sanitizer tsan

demo: build
	$(PYTHON) examples/demo.py
	$(PYTHON) examples/pipeline.py

bench: build bench-baseline
	@for script in $(filter-out bench/common.py,$(wildcard bench/*.py)); do echo "== $$script"; $(PYTHON) $$script || exit 1; done

# ONNX Runtime's CPU engine from npm, into the build tree: a baseline that bench/inference.py
# times the card against, used by nothing else. The package ships its CPU library; its install
# script only fetches GPU libraries from outside the registry, so it is not run.
ORT_VERSION := 1.31.1

bench-baseline:
	@if ! command -v npm >/dev/null; then echo "no npm: bench/inference.py runs without ONNX Runtime"; \
	elif [ ! -d $(BUILD)/ort/node_modules/onnxruntime-node ]; then \
	  npm install --prefix $(BUILD)/ort --no-audit --no-fund --no-save --ignore-scripts onnxruntime-node@$(ORT_VERSION) \
	  || echo "onnxruntime-node not installed: bench/inference.py runs without ONNX Runtime"; fi

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

# Fuzzing (tests/fuzz): clang, ASan/UBSan and libFuzzer in a build directory of their
# own. `make fuzz` runs each target FUZZ_SECONDS (default 60) over a copy of its corpus;
# `make fuzz-ci` is the short round (10 s each).
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: fuzz-build fuzz fuzz-ci

fuzz-build:
	@scripts/install-deps clang libclang-rt-14-dev
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DHALVORA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j2 --target fuzzers

fuzz: fuzz-build
	tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-ci:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=10
