# Every target does its own set-up: a virtual environment at .venv with a
# Python 3.12 interpreter (override with PYTHON=/path/to/python3.12) and the
# package built from these sources installed into it. `make test-3.13` does
# the same with Python 3.13 in .venv-3.13 (override with PYTHON_3_13=...).
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
VENV_3_13 := .venv-3.13
PY_3_13 := $(VENV_3_13)/bin/python
SOURCES := $(shell find src apps/pdf_stamp -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml
ASAN_SITE := build/asan-site
# The sanitizer runtimes go first into the interpreter that loads the
# sanitized module; leaks are not reported (the interpreter keeps its own).
SANITIZED := PYTHONPATH=$(CURDIR)/$(ASAN_SITE) \
    LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# `make fuzz` runs for FUZZ_SECONDS (a longer run: make fuzz FUZZ_SECONDS=3600).
FUZZ_SECONDS ?= 120

.PHONY: install demo test test-3.13 test-asan asan-build fuzz bench app desktop-deps \
        desktop-debs test-platform test-windows-layer build-windows windows-debs clean

$(PY):
	@interpreter=$$(tools/find-python) && "$$interpreter" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja

$(PY_3_13):
	@interpreter=$$(PYTHON="$(PYTHON_3_13)" tools/find-python 3.13) && \
	    "$$interpreter" -m venv $(VENV_3_13)
	$(PY_3_13) -m pip install --quiet --upgrade pip
	$(PY_3_13) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"
	@touch $@

install: $(VENV)/.installed

demo: install
	$(PY) -m pdf_stamp.demo

test: install desktop-deps test-platform
	cd tests && ../$(PY) -m pytest -q

# The same suite on Python 3.13, where the module warns at import that it is
# made for 3.12.
$(VENV_3_13)/.installed: $(PY_3_13) $(SOURCES)
	$(PY_3_13) -m pip install --quiet --no-build-isolation ".[test,desktop]"
	@touch $@

test-3.13: $(VENV_3_13)/.installed desktop-debs
	cd tests && ../$(PY_3_13) -m pytest -q

# An AddressSanitizer/UBSan build of the module in build/asan-site.
asan-build: install
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --upgrade \
	    --target $(ASAN_SITE) -C build-dir=build/asan \
	    -C cmake.define.PDF_MODULE_SANITIZE=ON -C cmake.build-type=Debug .

# The same suite against the sanitizer build.
test-asan: asan-build
	cd tests && $(SANITIZED) PDF_MODULE_EXPECT_SANITIZED=1 ../$(PY) -m pytest -q

# Hostile hosts against the sanitizer build (fuzz/run.py).
fuzz: asan-build
	cd fuzz && $(SANITIZED) FUZZ_SECONDS=$(FUZZ_SECONDS) ../$(PY) run.py

bench: install
	$(PY) bench/run.py

# The desktop window (pdf-stamp-window); ARGS="--pdf FILE --image FILE" preloads both.
app: install desktop-deps
	$(VENV)/bin/pdf-stamp-window $(ARGS)

# What the desktop window and its screenshot test need beyond the package:
# flet's Linux desktop client (a wheel that carries the client, so nothing is
# downloaded when the window opens), the GTK libraries it links against, a
# font with Japanese glyphs, zenity for the file pickers, xdg-utils to open the
# output folder, and Xvfb and libXtst for the screenshot test. Debian packages are installed only when missing and
# only as root; elsewhere the missing ones are named and the screenshot test
# skips.
DESKTOP_DEBS := libgtk-3-0 libepoxy0 fonts-ipafont-gothic zenity xdg-utils xvfb libx11-6 libxtst6

desktop-deps: install desktop-debs
	@$(PY) -c 'import flet_desktop' 2>/dev/null || $(PY) -m pip install --quiet "flet[desktop]==0.28.3"

desktop-debs:
	@tools/install-debs desktop-deps optional $(DESKTOP_DEBS)

# The file layer (src/platform) on its own, with no Python: its C++ tests
# natively under AddressSanitizer/UBSan, after the check that nothing
# system-specific is left outside it.
LAYER_TESTED := tests/platform/test_files.cpp src/platform/naming.cpp src/platform/long_path.cpp
LAYER_DEPS := $(LAYER_TESTED) src/platform/files.hpp src/platform/posix.cpp src/platform/windows.cpp

build/platform/test_files: $(LAYER_DEPS)
	@mkdir -p $(@D)
	g++ -std=c++20 -Wall -Wextra -g -fsanitize=address,undefined -fno-sanitize-recover=undefined \
	    -o $@ $(LAYER_TESTED) src/platform/posix.cpp

test-platform: build/platform/test_files
	tools/check-os-calls
	build/platform/test_files

# The same tests built for Windows with mingw-w64 and run under Wine (its own
# prefix in build/wine, no display), after the native run.
WINDOWS_DEBS := g++-mingw-w64-x86-64-posix wine wine64
WINE := env -u DISPLAY WINEPREFIX=$(CURDIR)/build/wine WINEDEBUG=-all

build/windows-layer/test_files.exe: $(LAYER_DEPS) | windows-debs
	@mkdir -p $(@D)
	x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -O2 -static \
	    -o $@ $(LAYER_TESTED) src/platform/windows.cpp

test-windows-layer: test-platform build/windows-layer/test_files.exe
	@[ -f build/wine/system.reg ] || $(WINE) wineboot -i >/dev/null 2>&1
	$(WINE) wine build/windows-layer/test_files.exe

# Every file of src/ compiled and linked into a .pyd for Windows (see
# tools/build-windows): proves that it builds there, not that it runs.
build-windows: windows-debs
	PYTHON=$$(tools/find-python) tools/build-windows

# mingw-w64 and Wine, installed as desktop-debs installs its packages; here
# nothing can be done without them.
windows-debs:
	@tools/install-debs windows-debs required $(WINDOWS_DEBS)

clean:
	rm -rf build $(VENV) $(VENV_3_13)
