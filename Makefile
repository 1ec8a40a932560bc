# Every target does its own set-up: a virtual environment at .venv with a
# Python 3.12 interpreter (override with PYTHON=/path/to/python3.12) and the
# package built from these sources installed into it.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
ASAN_SITE := build/asan-site

.PHONY: install demo test test-asan bench app desktop-deps clean

$(PY):
	@interpreter=$$(tools/find-python) && "$$interpreter" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"
	@touch $@

install: $(VENV)/.installed

demo: install
	$(PY) -m pdf_stamp.demo

test: install desktop-deps
	cd tests && ../$(PY) -m pytest -q

# The same suite against an AddressSanitizer/UBSan build of the module.
test-asan: install
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --upgrade \
	    --target $(ASAN_SITE) -C build-dir=build/asan \
	    -C cmake.define.PDF_MODULE_SANITIZE=ON -C cmake.build-type=Debug .
	cd tests && PYTHONPATH=../$(ASAN_SITE) \
	    LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    PDF_MODULE_EXPECT_SANITIZED=1 ../$(PY) -m pytest -q

bench: install
	$(PY) bench/run.py

# The desktop window (apps/desktop).
app: install desktop-deps
	$(PY) apps/desktop/main.py

# What the desktop window and its screenshot test need beyond the package.
desktop-deps: install

clean:
	rm -rf build $(VENV)
