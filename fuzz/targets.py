"""The calls the fuzz run draws, and the rules `check` holds them to: no
SystemError anywhere, no exception out of a guarded statement, and
process_pdf always shows a dialog and leaves no output after a failure."""

import os
import pathlib
import sys
import traceback
import types

import fitz
from hypothesis import strategies as st
from PIL import Image

from hostile import (HOOK, ORIGINAL, SWAPPED, Callback, Control, Page, Scene, Sink, hooks_for,
                     odd_value, state_values)

_STRATEGIES = {}


def once(key, make):   # strategies are slow to build: once each
    return _STRATEGIES[key] if key in _STRATEGIES else _STRATEGIES.setdefault(key, make())


# Lines an Exception may leave each guarded function from (None: none).
UNGUARDED_LINES = {
    "update_image_size": None, "update_image_sizeb": None,
    "select_pdf": {64, 67, 68, 120},
    "on_page_number_change": {272, 273, 277, 279, 328},
    "process_pdf": {381, 382, 388, 391, 394, 395, 396, 397, 399, 402, 403, 411, 413, 415, 416,
                    417, 419, 423, 427, 434, 438, 439, 440, 451},
}
# Lines that catch ValueError only.
VALUE_ERROR_GUARDED = {
    "update_image_position": set(range(235, 252)),
    "on_page_number_change": {277},
    "process_pdf": {394, 395, 396, 397, 415, 416, 417},
}
BROKEN_INVARIANT = ("without setting an exception", "with an exception set",
                    "error return without exception set", "SystemError")


class Call:
    """One drawn call, run again for the block-count check."""

    def __init__(self, function, make_args, scene, state=None, controls=()):
        self.function, self.make_args, self.scene = function, make_args, scene
        self.state, self.controls = state or {}, controls
        self.page, self.description = None, function
        self.judge = lambda outcome: check(self, outcome)

    def run(self):
        for control, value in self.controls:
            control.reset(value)
        old_stdout, old_hook, unraisable = sys.stdout, sys.unraisablehook, []
        sys.stdout = out = Sink()
        sys.unraisablehook = lambda info: unraisable.append(
            f"{info.exc_type.__name__}: {info.exc_value}")
        error = None
        try:
            self.scene.begin(self.state)
            args = self.make_args()
            try:
                ORIGINAL[self.function](*args)
            except BaseException as exc:   # noqa: B902 - every escape is judged by check()
                error = exc
        finally:
            self.scene.restore()
            sys.stdout, sys.unraisablehook = old_stdout, old_hook
            fitz.TOOLS.reset_mupdf_warnings()   # the library keeps every warning otherwise
        return types.SimpleNamespace(error=error, lines=out.lines, unraisable=unraisable)


def check(call, outcome):
    problems, error, seen = [], outcome.error, set()
    while error is not None and id(error) not in seen:   # the chain of causes
        seen.add(id(error))
        if isinstance(error, SystemError):
            problems.append(f"SystemError: {error}")
        error = error.__cause__ or error.__context__
    texts = outcome.lines + outcome.unraisable + (call.page.messages if call.page else [])
    problems += [f"broken invariant shown: {t.strip()}" for t in texts
                 if any(mark in t for mark in BROKEN_INVARIANT)]
    error, function = outcome.error, call.function
    line = next((e.lineno for e in traceback.extract_tb(getattr(error, "__traceback__", None))
                 if e.filename == "pdf_module.py" and e.name == f"pdf_module.{function}"), None)
    if isinstance(error, ValueError) and line in VALUE_ERROR_GUARDED.get(function, ()):
        problems.append(f"ValueError: {error} escaped {function} at line {line}, which catches it")
    if function in UNGUARDED_LINES and isinstance(error, Exception) and (
            UNGUARDED_LINES[function] is None or line not in UNGUARDED_LINES[function]):
        problems.append(f"{type(error).__name__}: {error} escaped {function} at line {line}, "
                        "which is guarded")
    return problems


NO_PAGES = (b"%PDF-1.7\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
            b"2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
            b"trailer\n<< /Size 3 /Root 1 0 R >>\n%%EOF\n")


class Files:   # the run's PDFs and images, sound and broken
    def __init__(self, folder):
        self.folder = folder
        with fitz.open() as doc:
            for number, rotation in enumerate((0, 90, 180)):
                doc.new_page(width=300 + 100 * number, height=400).set_rotation(rotation)
                doc[number].insert_text((30, 60), f"page {number + 1}")
            pdf = doc.tobytes()
            locked = os.path.join(folder, "locked.pdf")
            doc.save(locked, encryption=fitz.PDF_ENCRYPT_AES_256, user_pw="u", owner_pw="o")
        self.pdfs = {"three pages": self.write("three.pdf", pdf), "locked": locked,
                     "no pages": self.write("empty-tree.pdf", NO_PAGES),
                     "empty file": self.write("empty.pdf", b""),
                     "truncated": self.write("truncated.pdf", pdf[:len(pdf) // 2]),
                     "not a pdf": self.write("text.pdf", b"hello\n" * 50)}
        self.images = {"text file": self.pdfs["not a pdf"]}
        for name, mode, extra in [("stamp.png", "RGB", {}), ("alpha.png", "RGBA", {}),
                                  ("stamp.jpg", "RGB", {"dpi": (300, 300)}),
                                  ("tiny-dpi.png", "RGB", {"dpi": (1e-4, 1e-4)})]:
            self.images[name] = os.path.join(folder, name)
            Image.new(mode, (24, 16), (200, 30, 30)).save(self.images[name], **extra)
        self.images["truncated.png"] = self.write(
            "truncated.png", pathlib.Path(self.images["stamp.png"]).read_bytes()[:40])
        self.odd_paths = [os.path.join(folder, "missing.pdf"), folder, "", "a\0b.pdf", "x" * 5000,
                          None, 3, b"/tmp"]

    def write(self, name, data):
        pathlib.Path(self.folder, name).write_bytes(data)
        return os.path.join(self.folder, name)

    def odd_path(self):
        return st.one_of(st.sampled_from(self.odd_paths).map(lambda p: ("plain", p)),
                         st.tuples(st.sampled_from(sorted(self.pdfs.values())),
                                   hooks_for(("__bool__", "__str__", "__fspath__", "__eq__",
                                              "__hash__"), 2)).map(lambda t: ("text", (*t, {}))))

    def pick(self, paths):   # one of `paths` or an odd path
        return st.one_of(st.sampled_from(sorted(paths.values())).map(lambda p: ("plain", p)),
                         self.odd_path())


FILES = None   # made by the runner in its temporary folder
MAYBE_HOOK = st.none() | HOOK


# The kind of each handler's parameters.
PARAMETERS = {
    "update_image_size": "none flag field field field field field field",
    "update_image_sizeb": "none flag field field field",
    "update_image_position": "field field field field",
    "select_pdf": "picked_pdf pdf_field field field scales field field field field field field",
    "on_page_number_change": "none pdf_field field field field field field field field field "
                             "scales object object",
    "select_image": "picked_image field field field field ratio field field",
    "generate_resized_base64_image": "image size size",
}
GROUPS = {"size": ["update_image_size", "update_image_sizeb", "update_image_position"],
          "preview": ["select_pdf", "on_page_number_change"],
          "images": ["select_image", "generate_resized_base64_image"]}
STORED = {"scales": ["pdf_scale_ratio", "pdf_width_pt", "pdf_height_pt", "shrink_scale"],
          "ratio": ["original_ratio"]}
SPECS = {"flag": lambda: odd_value(st.booleans()), "size": lambda: odd_value(st.integers(-3, 400)),
         "image": lambda: FILES.pick(FILES.images), "pdf": lambda: FILES.pick(FILES.pdfs),
         "field": lambda: odd_value(st.sampled_from(
             ["", "25.4", "10", "abc", "0", "-5", "1e308", "  7.5 "]))}


def handlers(data, group):   # a handler call with hooks on all it is given
    function = data.draw(once(("group", group), lambda: st.sampled_from(GROUPS[group])))
    scene, made, makers = Scene(), [], []
    files = {"picked_pdf": data.draw(once("pdf", SPECS["pdf"])),
             "picked_image": data.draw(once("image", SPECS["image"]))}
    for kind in PARAMETERS[function].split():
        if kind in ("field", "pdf_field"):
            value = files["picked_pdf"] if kind == "pdf_field" else data.draw(once(kind, SPECS[kind]))
            made.append((Control(scene, value, data.draw(hooks_for(("get", "set", "update"), 2))),
                         value))
            makers.append(lambda control=made[-1][0]: control)
        elif kind in STORED:
            makers.append(lambda c=Callback(scene, data.draw(MAYBE_HOOK), STORED[kind]): c)
        elif kind in files:
            makers.append(lambda spec=files[kind]: types.SimpleNamespace(
                files=[types.SimpleNamespace(path=scene.value(spec))]))
        elif kind in SPECS:
            makers.append(lambda spec=data.draw(once(kind, SPECS[kind])): scene.value(spec))
        else:
            makers.append({"none": lambda: None, "object": object}[kind])
    return Call(function, lambda: [maker() for maker in makers], scene, data.draw(state_values()), made)


def process(data):
    pages = st.one_of(st.lists(st.sampled_from(
        ["1", "2", "3", " 2 ", "03", "0", "4", "-1", "2-3", "abc", "", "²", "２", "1.5", "9" * 30]),
        max_size=5).map(",".join), st.text(max_size=10))
    spec = (data.draw(once("pdf", SPECS["pdf"])), data.draw(once("image", SPECS["image"])),
            data.draw(once("where", lambda: st.sampled_from(["out", "", "missing", "file"]) |
                           odd_value(st.just("out")).map(lambda spec: ("odd", spec)))),
            data.draw(once("geometry", lambda: st.lists(odd_value(st.sampled_from(
                ["10", "20", "0", "-5", "1e9", "abc", "", "12.5", "nan"])),
                min_size=4, max_size=4))),
            data.draw(once("pages", lambda: odd_value(pages))),
            data.draw(once("interval", lambda: odd_value(st.sampled_from(
                ["", "1", "2", "0", "-3", "2.5", "abc", "99"])))),
            data.draw(hooks_for(("open", "close", "update"), 2)))
    return process_call(*spec)


def process_call(pdf, image, where, geometry, pages, interval, page_hooks):
    scene = Scene()
    page = Page(scene, page_hooks)
    out = os.path.join(FILES.folder, "out")
    folders = {"out": out, "": "", "missing": os.path.join(out, "missing"),
               "file": FILES.pdfs["three pages"]}

    def make():
        page.opened, page.messages[:] = 0, []
        directory = scene.value(where[1]) if isinstance(where, tuple) else folders[where]
        return [scene.value(pdf), scene.value(image), directory,
                *(scene.value(s) for s in geometry), scene.value(pages), scene.value(interval),
                page]

    call = Call("process_pdf", make, scene)
    call.page = page
    call.description = "process_call" + repr((pdf, image, where, geometry, pages, interval,
                                              page_hooks))

    def judge(outcome):
        problems = check(call, outcome)
        written = [os.path.join(d, n) for d in (out, FILES.cwd) for n in os.listdir(d)
                   if n.startswith("output.pdf")]
        for path in written:
            os.remove(path)
        if outcome.error is None and page.opened == 0 and not SWAPPED & {"show_dialog", "ft"}:
            problems.append("process_pdf returned without showing a dialog")
        saved = any(m.startswith(("PDF出力完了: ", "【ERROR】PDFの保存に失敗: "))
                    for m in page.messages)
        if written and not saved and outcome.error is None:
            problems.append(f"output left behind after {page.messages}: {written}")
        return problems

    call.judge = judge
    return call


TARGETS = {**{group: (lambda data, group=group: handlers(data, group)) for group in GROUPS},
           "process_pdf": process}
# (replays, blocks allowed): the PDF and image libraries move the count by ~150.
LEAK_CHECK = {"process_pdf": (10, 150), "preview": (15, 150), "images": (15, 150)}
