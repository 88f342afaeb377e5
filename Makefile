PYTHON := /usr/bin/python3
BUILD := build
export PYTHONPATH := $(CURDIR)/$(BUILD)/python

.PHONY: deps build test check-asan check-tsan demo bench clean

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

bench: build
	@for script in $(filter-out bench/common.py,$(wildcard bench/*.py)); do echo "== $$script"; $(PYTHON) $$script || exit 1; done

clean:
	rm -rf $(BUILD) build-asan build-tsan
