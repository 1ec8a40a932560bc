import gc
import os
import subprocess
import sys
import tempfile
import textwrap
import traceback
import types
import warnings

import pytest

os.environ["PDF_STAMP_LANG"] = "ja"   # host texts as office users see them (test_i18n checks English)
STATE = sys.modules.setdefault("state", types.ModuleType("state"))   # imported by the module

with warnings.catch_warnings():   # off 3.12 the import warns once (test_frame checks it)
    warnings.filterwarnings("ignore", "compile time Python version 3.12 of module", RuntimeWarning)
    import pdf_module  # noqa: E402

if os.environ.get("PDF_MODULE_EXPECT_SANITIZED"):   # `make test-asan` tests the sanitizer build
    assert "asan-site" in pdf_module.__file__, pdf_module.__file__

CORPUS = os.environ.get("PDF_MODULE_CORPUS") or os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "corpus"))


def corpus_rows(row):  # `row(path)` for each corpus PDF, or one skipped row naming the folder
    if not os.path.isdir(CORPUS):
        reason = f"no corpus folder at {CORPUS} (set PDF_MODULE_CORPUS to use one elsewhere)"
        return [pytest.param(*row(None), marks=pytest.mark.skip(reason=reason), id="corpus")]
    names = sorted(n for n in os.listdir(CORPUS) if n.endswith(".pdf"))
    return [pytest.param(*row(os.path.join(CORPUS, n)), id=n) for n in names]


@pytest.fixture
def state():  # the host's `state` module, emptied before and after each test
    def empty():
        for name in [n for n in vars(STATE) if not n.startswith("__")]:
            delattr(STATE, name)
    empty()
    yield STATE
    empty()


class Field:  # a text field: `value` and a count of `update()` calls
    def __init__(self, value=""):
        self.value, self.updates = value, 0

    def update(self):
        self.updates += 1


class ImageControl(Field):  # an image control placed in a stack
    def __init__(self):
        vars(self).update(src=None, src_base64=None, width=None, height=None, left=None,
                          top=None, fit=None, updates=0)


class Page:  # the flet page: records open, close, update and window.destroy in order
    def __init__(self):
        self.log = log = []
        self.open, self.close = (lambda c: log.append(("open", c)), lambda c: log.append(("close", c)))
        self.update, self.window = lambda: log.append(("update",)), types.SimpleNamespace(
            destroy=lambda: log.append(("destroy",)))

    def messages(self):  # titles of the dialogs opened so far
        return [entry[1].title.value for entry in self.log if entry[0] == "open"]


class FilePickerResult:  # `files` is None or a list of picked files
    def __init__(self, *paths, files=None):
        self.files = files if files is not None else [types.SimpleNamespace(path=p) for p in paths]


class Sink:  # a standard output that forgets what it is given
    write, flush = len, lambda self: None


@pytest.fixture
def page():
    return Page()


@pytest.fixture
def private_temp(tmp_path_factory, monkeypatch):  # the system's temporary folder, left empty
    folder = tmp_path_factory.mktemp("system-temp")
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    yield folder
    assert os.listdir(folder) == []


def allocated_blocks_stay_flat(fn, *, warmup=200, rounds=3, calls=2000, slack=64):
    # `calls` more calls keep sys.getallocatedblocks() within `slack` in one of `rounds` tries
    for _ in range(warmup):
        fn()
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        if (after := sys.getallocatedblocks()) - before <= slack:
            return True
    print(f"allocated blocks grew by {after - before} over {calls} calls")
    return False


def module_entry(excinfo):  # (function, line) of the last traceback entry in pdf_module.py
    entries = [e for e in traceback.extract_tb(excinfo.tb) if e.filename == "pdf_module.py"]
    return (entries[-1].name, entries[-1].lineno) if entries else None


def run_python(code, *, cwd=None, env=None, check=True):  # in a fresh interpreter
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd,
                            env=dict(os.environ, PYTHONIOENCODING="utf-8", **(env or {})),
                            capture_output=True, text=True, timeout=300)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result
