PYTHON := /usr/bin/python3
BUILD := build
# The module from the build tree, and the halvora package beside it (python/halvora).
export PYTHONPATH := $(CURDIR)/$(BUILD)/python:$(CURDIR)/python

.PHONY: deps build test demo bench clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure
	$(PYTHON) -m pytest -q -p no:cacheprovider tests

demo: build
	$(PYTHON) examples/demo.py
	$(PYTHON) examples/pipeline.py

bench: build
	@for script in $(filter-out bench/common.py,$(wildcard bench/*.py)); do echo "== $$script"; $(PYTHON) $$script || exit 1; done

clean:
	rm -rf $(BUILD)
