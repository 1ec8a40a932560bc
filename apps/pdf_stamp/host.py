"""How the hosts meet pdf_module: its `state` module, a stand-in page that
collects the module's dialogs, and where its printed lines go."""

import contextlib
import sys
import types
import warnings

ERROR_PREFIX = "【ERROR】"
DONE_PREFIX = "PDF出力完了: "


def load_module(headless=False):
    """Imports pdf_module with a `state` module registered first (the module
    imports the host's `state` by name; a host that registered its own keeps
    it).

    `headless` is for the entry points of hosts that show no window: when
    pdf_module is not imported yet and neither is flet, the module gets the
    stand-in controls of headless_toolkit under the name `flet`. The name is
    given back once the module holds them, so a flet imported later in the
    process is the real one."""
    if "state" not in sys.modules:
        sys.modules["state"] = types.ModuleType("state")
    stand_in = None
    if headless and "pdf_module" not in sys.modules and "flet" not in sys.modules:
        from . import headless_toolkit as stand_in
        sys.modules["flet"] = stand_in
    try:
        with warnings.catch_warnings():
            # Built for 3.12: other interpreters get a version-mismatch warning.
            warnings.filterwarnings("ignore", category=RuntimeWarning,
                                    message=r"compile time Python version .* of module 'pdf_module'")
            import pdf_module
    finally:
        if stand_in is not None and sys.modules.get("flet") is stand_in:
            del sys.modules["flet"]
    return pdf_module


class CollectingPage:
    """Stands in for the flet page that process_pdf shows its dialogs on:
    keeps every dialog's title instead of showing it."""

    def __init__(self):
        self.dialog = None
        self.messages = []

    def open(self, control):
        self.messages.append(str(control.title.value))

    def close(self, control):
        pass

    def update(self):
        pass

    @property
    def error(self):
        """The first error dialog's title, or None."""
        return next((m for m in self.messages if m.startswith(ERROR_PREFIX)), None)

    @property
    def written(self):
        """The file the module reported as written, or None."""
        return next((m[len(DONE_PREFIX):] for m in self.messages if m.startswith(DONE_PREFIX)),
                    None)


class _Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def module_output(stream=None):
    """Sends what the module prints to `stream`, or nowhere when None."""
    with contextlib.redirect_stdout(_Discard() if stream is None else stream):
        yield
