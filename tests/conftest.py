"""Shared fixtures: the host's `state` module, stand-ins for the controls and
the page that a running flet application would own, and helpers for
reference-leak checks and subprocess runs."""

import gc
import os
import subprocess
import sys
import textwrap
import traceback
import types
import warnings

import pytest

# The module imports the host's `state` by name: give it one before import.
STATE = sys.modules.setdefault("state", types.ModuleType("state"))

with warnings.catch_warnings():   # off 3.12 the import warns once (test_frame checks it)
    warnings.filterwarnings("ignore", "compile time Python version 3.12 of module", RuntimeWarning)
    import pdf_module  # noqa: E402

if os.environ.get("PDF_MODULE_EXPECT_SANITIZED"):
    # `make test-asan` must exercise the sanitizer build, not the installed one.
    assert "asan-site" in pdf_module.__file__, pdf_module.__file__

# Real-world PDFs are read where they lie, beside the repository (or where
# PDF_MODULE_CORPUS points); a clone without them skips their rows.
CORPUS = os.environ.get("PDF_MODULE_CORPUS") or os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "corpus"))


def corpus_rows(row):
    """Parameters `row(path)` for each PDF of the corpus, by file name; one
    skipped row that names the folder when it is absent."""
    if not os.path.isdir(CORPUS):
        reason = f"no corpus folder at {CORPUS} (set PDF_MODULE_CORPUS to use one elsewhere)"
        return [pytest.param(*row(None), marks=pytest.mark.skip(reason=reason), id="corpus")]
    names = sorted(n for n in os.listdir(CORPUS) if n.endswith(".pdf"))
    return [pytest.param(*row(os.path.join(CORPUS, n)), id=n) for n in names]


@pytest.fixture
def state():
    """The host's `state` module, emptied before and after each test."""
    for name in list(vars(STATE)):
        if not name.startswith("__"):
            delattr(STATE, name)
    yield STATE
    for name in list(vars(STATE)):
        if not name.startswith("__"):
            delattr(STATE, name)


class Field:
    """A text field: `value` and a count of `update()` calls."""

    def __init__(self, value=""):
        self.value = value
        self.updates = 0

    def update(self):
        self.updates += 1


class ImageControl:
    """An image control placed in a stack."""

    def __init__(self):
        self.src = None
        self.src_base64 = None
        self.width = None
        self.height = None
        self.left = None
        self.top = None
        self.fit = None
        self.updates = 0

    def update(self):
        self.updates += 1


class Window:
    def __init__(self, log):
        self.log = log

    def destroy(self):
        self.log.append(("destroy",))


class Page:
    """The flet page: records open, close, update and window.destroy in order."""

    def __init__(self):
        self.log = []
        self.window = Window(self.log)

    def open(self, control):
        self.log.append(("open", control))

    def close(self, control):
        self.log.append(("close", control))

    def update(self):
        self.log.append(("update",))

    def messages(self):
        """Titles of the dialogs opened so far."""
        return [entry[1].title.value for entry in self.log if entry[0] == "open"]


class FilePickerResult:
    """A file picker's result event: `files` is None or a list of picked files."""

    def __init__(self, *paths, files=None):
        self.files = files if files is not None else [types.SimpleNamespace(path=p) for p in paths]


class Sink:
    """A standard output that forgets what it is given."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class BrokenOutput(Sink):
    """A standard output whose every write fails."""

    def write(self, text):
        raise OSError("stdout is gone")


@pytest.fixture
def page():
    return Page()


def allocated_blocks_stay_flat(fn, *, warmup=200, rounds=3, calls=2000, slack=64):
    """True when `calls` more calls of `fn` keep sys.getallocatedblocks()
    within `slack` blocks, in at least one of `rounds` tries (tolerating
    caches that fill once)."""
    for _ in range(warmup):
        fn()
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        after = sys.getallocatedblocks()
        if after - before <= slack:
            return True
    print(f"allocated blocks grew by {after - before} over {calls} calls")
    return False


def module_entry(excinfo):
    """(function name, line) of the last traceback entry in pdf_module.py of
    an exception caught by pytest.raises, or None."""
    entries = [e for e in traceback.extract_tb(excinfo.tb) if e.filename == "pdf_module.py"]
    return (entries[-1].name, entries[-1].lineno) if entries else None


def run_python(code, *, cwd=None, env=None, check=True):
    """Runs `code` in a fresh interpreter of this environment."""
    full_env = dict(os.environ, PYTHONIOENCODING="utf-8")
    full_env.update(env or {})
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=full_env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result
