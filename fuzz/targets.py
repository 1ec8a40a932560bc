"""What the fuzz run calls, and what it checks after every call.

Each target draws one call (its arguments, the hooks of every object it
hands in and the `state` values) and returns a Call, which can be run again
for the block-count check. `check` names every broken rule:
- a SystemError anywhere (raised, chained, printed, in a dialog or in an
  exception that a finaliser could not raise);
- an exception of the Exception family that escaped a function from a
  statement that its behaviour guards;
- a unit function's result or error that differs from the runtime's own;
- process_pdf returning without a dialog, or leaving an output file behind
  after a failure that was not the save's."""

import builtins
import math
import os
import sys
import traceback
import types

import fitz
from hypothesis import strategies as st
from PIL import Image

from hostile import (HOOK, ORIGINAL, SWAPPED, Callback, Control, Page, Scene, hooks_for,
                     odd_value, plain_numbers, sink, state_values)

ROUND = builtins.round   # the round the module took at import
_STRATEGIES = {}


def once(key, make):
    """The strategy built by `make`, built once (drawing from a strategy
    built anew for every call is slow)."""
    if key not in _STRATEGIES:
        _STRATEGIES[key] = make()
    return _STRATEGIES[key]


# Statements from which an exception of the Exception family may leave each
# guarded function; None: it may leave from none.
UNGUARDED_LINES = {
    "update_image_size": None,
    "update_image_sizeb": None,
    "select_pdf": {64, 67, 68, 120},
    "on_page_number_change": {272, 273, 277, 279, 328},
    # the truth tests of lines 381, 403 and 413 lie outside the guards too
    "process_pdf": {381, 382, 388, 391, 394, 395, 396, 397, 399, 402, 403, 411, 413, 415, 416,
                    417, 419, 423, 427, 434, 438, 439, 440, 451},
}
# Statements guarded against ValueError only: a ValueError may not leave from them.
VALUE_ERROR_GUARDED = {
    "update_image_position": set(range(235, 252)),
    "on_page_number_change": {277},
    "process_pdf": {394, 395, 396, 397, 415, 416, 417},
}
BROKEN_INVARIANT = ("without setting an exception", "with an exception set",
                    "error return without exception set", "SystemError")


class Outcome:
    def __init__(self, result=None, error=None, lines=(), unraisable=()):
        self.result, self.error, self.lines, self.unraisable = result, error, lines, unraisable


class Call:
    """One drawn call: `run` sets up its scene, calls, restores the module."""

    def __init__(self, target, function, make_args, scene, state, controls=(), after=None):
        self.target, self.function, self.make_args = target, function, make_args
        self.scene, self.state, self.controls, self.after = scene, state, controls, after
        self.page = None
        self.description = function

    def run(self):
        scene, unraisable = self.scene, []
        for control, value in self.controls:
            control.reset(value)
        old_stdout, old_hook = sys.stdout, sys.unraisablehook
        sys.stdout = out = sink()
        sys.unraisablehook = lambda info: unraisable.append(
            f"{info.exc_type.__name__}: {info.exc_value}")
        try:
            scene.begin(self.state)
            args = self.make_args()
            try:
                result = ORIGINAL[self.function](*args)
                error = None
            except BaseException as exc:   # noqa: B902 - every escape is judged by check()
                result, error = None, exc
            if self.after and error is None:
                try:
                    self.after(result)
                except BaseException as exc:   # noqa: B902
                    error = exc
        finally:
            scene.restore()
            sys.stdout, sys.unraisablehook = old_stdout, old_hook
            fitz.TOOLS.reset_mupdf_warnings()   # the library keeps every warning otherwise
        return Outcome(result, error, list(out.lines), unraisable)


def chain(error):
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        yield error
        error = error.__cause__ or error.__context__


def entry_line(error, function):
    """The line of the outermost traceback entry of `function`."""
    for entry in traceback.extract_tb(error.__traceback__):
        if entry.filename == "pdf_module.py" and entry.name == f"pdf_module.{function}":
            return entry.lineno
    return None


def check(call, outcome):
    """The broken rules of one call, as text lines (empty when none)."""
    problems = []
    for error in chain(outcome.error):
        if isinstance(error, SystemError):
            problems.append(f"SystemError: {error}")
    texts = outcome.lines + outcome.unraisable + (call.page.messages if call.page else [])
    problems += [f"broken invariant shown: {t.strip()}" for t in texts
                 if any(mark in t for mark in BROKEN_INVARIANT)]
    error = outcome.error
    if isinstance(error, ValueError) and entry_line(error, call.function) in (
            VALUE_ERROR_GUARDED.get(call.function, ())):
        problems.append(f"ValueError: {error} escaped {call.function} at line "
                        f"{entry_line(error, call.function)}, which catches it")
    if call.function in UNGUARDED_LINES and isinstance(error, Exception):
        lines, line = UNGUARDED_LINES[call.function], entry_line(error, call.function)
        if lines is None or line not in lines:
            problems.append(f"{type(error).__name__}: {error} escaped {call.function} "
                            f"at line {line}, which is guarded")
    return problems


# --- units: results against the runtime's own ----------------------------------------------

def reference(function, args):
    """The unit functions written in Python, as the behaviour describes them."""
    if function == "mm_to_pt":
        (mm,) = args
        return mm * 72 / 25.4
    if function == "format_mm_value":
        (val,) = args
        val = val if type(val) is float else float(val)
        return str(int(val)) if val == int(val) else str(ROUND(val, 2))
    width, height, page_width, page_height = args
    aspect_ratio = width / height
    if width > page_width or height > page_height:
        if width / page_width > height / page_height:
            width, height = page_width, page_width / aspect_ratio
        else:
            width, height = page_height * aspect_ratio, page_height
    return ROUND(width, 2), ROUND(height, 2)


def same(a, b):
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b and (not isinstance(a, float) or
                                              math.copysign(1, a) == math.copysign(1, b))


def check_units(call, outcome, args):
    try:
        expected, expected_error = reference(call.function, args), None
    except Exception as exc:
        expected, expected_error = None, exc
    got = outcome.error
    if expected_error is None and got is None and same(outcome.result, expected):
        return []
    if expected_error is not None and got is not None and (type(got), str(got)) == (
            type(expected_error), str(expected_error)):
        return []
    shown = repr(outcome.result) if got is None else f"{type(got).__name__}: {got}"
    wanted = repr(expected) if expected_error is None else (
        f"{type(expected_error).__name__}: {expected_error}")
    return [f"{call.function}{tuple(args)!r} gave {shown}, the runtime gives {wanted}"]


def units(data):
    function = data.draw(once("units", lambda: st.sampled_from(
        ["mm_to_pt", "format_mm_value", "scale_image_to_pdf"])))
    count = 4 if function == "scale_image_to_pdf" else 1
    if data.draw(st.booleans()):   # plain numbers, judged against the runtime
        args = data.draw(once(("numbers", count), lambda: st.lists(
            plain_numbers | st.sampled_from([0, 1, 2, 210, 297, 0.0]), min_size=count,
            max_size=count)))
        call = Call("units", function, lambda: args, Scene(), {})
        return call, lambda outcome: check(call, outcome) + check_units(call, outcome, args)
    scene = Scene()
    specs = data.draw(once(("odd numbers", count), lambda: st.lists(
        odd_value(plain_numbers), min_size=count, max_size=count)))
    call = Call("units", function, lambda: [scene.value(s) for s in specs], scene, {})
    return call, lambda outcome: check(call, outcome)


# --- the size and position handlers ----------------------------------------------------------

def field_values():
    return odd_value(st.sampled_from(["", "25.4", "10", "abc", "0", "-5", "1e308", "  7.5 "]))


def controls(data, scene, count):
    made = []
    for _ in range(count):
        value = data.draw(once("field", field_values))
        made.append((Control(scene, value, data.draw(hooks_for(("get", "set", "update"), 2))),
                     value))
    scene.controls = [control for control, _ in made]
    return made


def size_handlers(data):
    function = data.draw(once("size", lambda: st.sampled_from(
        ["update_image_size", "update_image_sizeb", "update_image_position"])))
    scene = Scene()
    made = controls(data, scene, 6)
    width, height, preview, x, y, path = (control for control, _ in made)
    state = data.draw(state_values())
    flag = data.draw(once("flag", lambda: odd_value(st.booleans())))
    if function == "update_image_size":
        make = lambda: [None, scene.value(flag), width, height, preview, x, y, path]  # noqa: E731
    elif function == "update_image_sizeb":
        make = lambda: [None, scene.value(flag), width, height, preview]  # noqa: E731
    else:
        make = lambda: [x, y, preview, path]  # noqa: E731
    call = Call("size", function, make, scene, state, made)
    return call, lambda outcome: check(call, outcome)


# --- files: PDFs, images and paths, sound and damaged ------------------------------------------

class Files:
    """PDFs and images written once per run, and damaged copies made per call."""

    def __init__(self, folder):
        self.folder = folder
        self.pdfs, self.images = {}, {}
        with fitz.open() as doc:
            for number, rotation in enumerate((0, 90, 180)):
                page = doc.new_page(width=300 + 100 * number, height=400)
                page.set_rotation(rotation)
                page.insert_text((30, 60), f"page {number + 1}")
            self.pdf_bytes = doc.tobytes()
            self.pdfs["three pages"] = self.write("three.pdf", self.pdf_bytes)
            self.pdfs["locked"] = os.path.join(folder, "locked.pdf")
            doc.save(self.pdfs["locked"], encryption=fitz.PDF_ENCRYPT_AES_256, user_pw="u",
                     owner_pw="o")
        self.pdfs["no pages"] = self.write("empty-tree.pdf", NO_PAGES)
        self.pdfs["empty file"] = self.write("empty.pdf", b"")
        self.pdfs["truncated"] = self.write("truncated.pdf",
                                            self.pdf_bytes[:len(self.pdf_bytes) // 2])
        self.pdfs["not a pdf"] = self.write("text.pdf", b"hello\n" * 50)
        for name, mode, extra in [("stamp.png", "RGB", {}), ("alpha.png", "RGBA", {}),
                                  ("stamp.jpg", "RGB", {"dpi": (300, 300)}),
                                  ("tiny-dpi.png", "RGB", {"dpi": (1e-4, 1e-4)})]:
            path = os.path.join(folder, name)
            Image.new(mode, (24, 16), (200, 30, 30)).save(path, **extra)
            self.images[name] = path
        with open(self.images["stamp.png"], "rb") as f:
            self.images["truncated.png"] = self.write("truncated.png", f.read()[:40])
        self.images["text file"] = self.pdfs["not a pdf"]
        self.odd_paths = {"missing": os.path.join(folder, "missing.pdf"), "folder": folder,
                          "empty": "", "nul": "a\0b.pdf", "long": "x" * 5000}
        self.damaged = 0

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def damage(self, edits):
        """A copy of the three-page PDF with bytes changed, cut or cleared."""
        data = bytearray(self.pdf_bytes)
        for position, byte, cut in edits:
            position %= len(data)
            if cut:
                del data[position:position + byte]
            else:
                data[position] = byte
        self.damaged += 1
        return self.write(f"damaged-{self.damaged % 4}.pdf", bytes(data))

    def pdf(self):
        damaged = st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255), st.booleans()),
                           min_size=1, max_size=6).map(lambda edits: ("damaged", edits))
        return st.one_of(st.sampled_from(sorted(self.pdfs.values())).map(lambda p: ("plain", p)),
                         damaged, self.odd_path())

    def image(self):
        return st.one_of(st.sampled_from(sorted(self.images.values())).map(lambda p: ("plain", p)),
                         self.odd_path())

    def odd_path(self):
        return st.one_of(st.sampled_from(sorted(self.odd_paths.values())).map(
                             lambda p: ("plain", p)),
                         st.sampled_from([None, 3, b"/tmp"]).map(lambda p: ("plain", p)),
                         st.tuples(st.sampled_from(sorted(self.pdfs.values())),
                                   hooks_for(("__bool__", "__str__", "__fspath__", "__eq__",
                                              "__hash__"), 2)).map(lambda t: ("text", (*t, {}))))

    def value(self, scene, spec):
        return scene.value(spec)


NO_PAGES = (b"%PDF-1.7\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
            b"2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
            b"trailer\n<< /Size 3 /Root 1 0 R >>\n%%EOF\n")

FILES = None   # made by the runner in its temporary folder
MAYBE_HOOK = st.none() | HOOK


def picked(scene, spec):
    """A file picker's result event holding one picked file."""
    return types.SimpleNamespace(files=[types.SimpleNamespace(path=FILES.value(scene, spec))])


def preview_handlers(data):
    function = data.draw(once("preview", lambda: st.sampled_from(
        ["select_pdf", "on_page_number_change"])))
    scene = Scene()
    pdf = data.draw(once("pdf", FILES.pdf))
    made = controls(data, scene, 9)
    path_field, number, preview, image_path, width, height, image_preview, x, y = (
        control for control, _ in made)
    made[0] = (path_field, pdf)   # the path field holds the PDF's path
    callback = Callback(scene, data.draw(MAYBE_HOOK),
                        ["pdf_scale_ratio", "pdf_width_pt", "pdf_height_pt", "shrink_scale"])
    state = data.draw(state_values())
    if function == "select_pdf":
        def make():
            return [picked(scene, pdf), path_field, number, preview, callback, image_path, width,
                    height, image_preview, x, y]
    else:
        def make():
            return [None, path_field, number, preview, image_path, image_preview, width, height,
                    x, y, callback, object(), object()]
    call = Call("preview", function, make, scene, state, made)
    return call, lambda outcome: check(call, outcome)


def image_handlers(data):
    function = data.draw(once("images", lambda: st.sampled_from(
        ["select_image", "generate_resized_base64_image"])))
    scene = Scene()
    image = data.draw(once("image", FILES.image))
    made = controls(data, scene, 7)
    path, width, height, preview, x, y, _ = (control for control, _ in made)
    callback = Callback(scene, data.draw(MAYBE_HOOK), ["original_ratio"])
    state = data.draw(state_values())
    if function == "select_image":
        def make():
            return [picked(scene, image), path, width, height, preview, callback, x, y]
    else:
        size = data.draw(once("size pair", lambda: st.lists(
            odd_value(st.integers(-3, 400)), min_size=2, max_size=2)))

        def make():
            return [FILES.value(scene, image), *(scene.value(s) for s in size)]
    call = Call("images", function, make, scene, state, made)
    return call, lambda outcome: check(call, outcome)


# --- process_pdf ------------------------------------------------------------------------------

PAGE_TEXTS = st.one_of(
    st.lists(st.sampled_from(["1", "2", "3", " 2 ", "03", "0", "4", "-1", "2-3", "abc", "", "²",
                              "２", "1.5", "9" * 30]), max_size=5).map(",".join),
    st.text(max_size=10))


def process(data):
    spec = (data.draw(once("pdf", FILES.pdf)), data.draw(once("image", FILES.image)),
            data.draw(once("where", lambda: st.sampled_from(["out", "", "missing", "file"]) |
                           odd_value(st.just("out")).map(lambda spec: ("odd", spec)))),
            data.draw(once("geometry", lambda: st.lists(odd_value(st.sampled_from(
                ["10", "20", "0", "-5", "1e9", "abc", "", "12.5", "nan"])),
                min_size=4, max_size=4))),
            data.draw(odd_value(PAGE_TEXTS)),
            data.draw(once("interval", lambda: odd_value(st.sampled_from(
                ["", "1", "2", "0", "-3", "2.5", "abc", "99"])))),
            data.draw(hooks_for(("open", "close", "update"), 2)))
    return process_call(*spec)


def process_call(pdf, image, where, geometry, pages, interval, page_hooks):
    """The process_pdf call of one drawn example (its description repeats it)."""
    scene = Scene()
    page = Page(scene, page_hooks)
    scene.controls = [page]
    out = os.path.join(FILES.folder, "out")
    targets = {"out": out, "": "", "missing": os.path.join(out, "missing"),
               "file": FILES.pdfs["three pages"]}

    def make():
        page.opened, page.messages[:] = 0, []
        directory = scene.value(where[1]) if isinstance(where, tuple) else targets[where]
        return [FILES.value(scene, pdf), FILES.value(scene, image), directory,
                *(scene.value(s) for s in geometry), scene.value(pages), scene.value(interval),
                page]

    call = Call("process_pdf", "process_pdf", make, scene, {})
    call.page = page
    call.description = "process_call" + repr((pdf, image, where, geometry, pages, interval,
                                              page_hooks))

    def judge(outcome):
        problems = check(call, outcome)
        written = [os.path.join(d, n) for d in (out, FILES.cwd) for n in os.listdir(d)
                   if n.startswith("output.pdf")]
        for path in written:
            os.remove(path)
        if (outcome.error is None and page.opened == 0
                and not SWAPPED & {"show_dialog", "ft"}):
            problems.append("process_pdf returned without showing a dialog")
        saved = any(m.startswith(("PDF出力完了: ", "【ERROR】PDFの保存に失敗: "))
                    for m in page.messages)
        if written and not saved and outcome.error is None:
            problems.append(f"output left behind after {page.messages}: {written}")
        return problems

    return call, judge


# --- naming and dialogs -------------------------------------------------------------------------

def naming(data):
    function = data.draw(once("naming", lambda: st.sampled_from(
        ["get_unique_filename", "select_directory"])))
    scene = Scene()
    made = controls(data, scene, 1)
    if function == "get_unique_filename":
        specs = [data.draw(once("odd path", FILES.odd_path)),
                 data.draw(once("base", lambda: odd_value(st.just("output.pdf"))))]

        def make():
            return [scene.value(s) for s in specs]
    else:
        path = data.draw(once("odd path", FILES.odd_path))

        def make():
            return [types.SimpleNamespace(path=scene.value(path)), made[0][0]]
    call = Call("naming", function, make, scene, {}, made)
    return call, lambda outcome: check(call, outcome)


def dialogs(data):
    """show_dialog and confirm_exit; the buttons' handlers are then run by a
    page whose hooks may drop the dialog, and with it the last reference to
    the running handler, or swap the toolkit."""
    function = data.draw(once("dialogs", lambda: st.sampled_from(["show_dialog", "confirm_exit"])))
    scene = Scene()
    page = Page(scene, data.draw(hooks_for(("open", "close", "update", "destroy"), 3)))
    scene.controls = [page]
    message = data.draw(once("message", lambda: odd_value(st.text(max_size=6))))
    clicks = data.draw(once("clicks", lambda: st.lists(st.sampled_from([0, 1]), max_size=3)))
    drop = data.draw(st.booleans())

    def make():
        page.opened, page.messages[:] = 0, []
        return [page, scene.value(message)] if function == "show_dialog" else [page]

    def after(result):
        if function != "confirm_exit":
            return
        for index in clicks:
            handler = page.dialog.actions[index].on_click
            if drop:   # only the call below still holds the handler
                del page.dialog
            handler(None)
            if drop:
                break

    call = Call("dialogs", function, make, scene, {}, after=after)
    call.page = page
    return call, lambda outcome: check(call, outcome)


TARGETS = {"units": units, "size": size_handlers, "preview": preview_handlers,
           "images": image_handlers, "process_pdf": process, "naming": naming,
           "dialogs": dialogs}
# Block-count check: replays of a round's last four calls, and the blocks
# they may add: less than one a call, or, where the PDF and image libraries
# move the count by up to about 150 blocks either way, a few a call.
LEAK_CHECK = {"process_pdf": (10, 150), "preview": (15, 150), "images": (15, 150)}
