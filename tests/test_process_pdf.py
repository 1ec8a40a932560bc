"""process_pdf: which pages receive the stamp and where, the dialogs of every
failure, the output name (never replacing anything, also under a race or a
planted link), upright stamps on rotated pages, and reference leaks."""

import contextlib
import os
import subprocess
import sys
import textwrap
import time
import traceback

import fitz
import pytest

import pdf_module
from conftest import allocated_blocks_stay_flat
from stamping import (EXPECTED_RECT, UPRIGHT, assert_close, changed_box, make_pdf, make_stamp,
                      mm_rect, quadrant_colours, render, run, stamped_pages)

SAVED = "PDF出力完了: "


class Approx(fitz.Rect):
    """A rectangle equal to any rectangle within 0.001 point (the library
    reports image placements in single precision)."""

    def __eq__(self, other):
        return all(abs(a - b) < 1e-3 for a, b in zip(self, other))

    __hash__ = None


STAMP = Approx(EXPECTED_RECT)
NOTHING_SELECTED = "【ERROR】対象ページが指定されていません"
BAD_LIST = "【ERROR】ページ指定が不正です"
BAD_INTERVAL = "【ERROR】ページ毎の数字が不正です"
BAD_NUMBER = "【ERROR】数値が正しく入力されていません"
BOTH_NEEDED = "【ERROR】PDFと画像の両方を指定してください"


@pytest.fixture
def stamp(tmp_path):
    return make_stamp(tmp_path / "stamp.png")


@pytest.fixture
def out(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


def pdf_with(tmp_path, pages, **kw):
    return make_pdf(tmp_path / f"source{pages}.pdf", pages, **kw)


# --- page selection -----------------------------------------------------------

@pytest.mark.parametrize("pages, target_pages, interval, expected", [
    (10, "1,3,5", "", {1, 3, 5}),
    (10, " 2 , 4 ", "", {2, 4}),
    (10, "03", "", {3}),
    (10, "2,2", "", {2}),
    (10, "\uff12", "", {2}),                    # full-width digit two
    (10, "\u0663", "", {3}),                    # Arabic-Indic digit three
    (10, "1,0,11,abc,2-4,+2,-1,1.0,,", "", {1}),  # the rest is dropped silently
    (10, "10," + "9" * 30, "", {10}),            # a 30-digit page is beyond the document
    (5, "", "2", {2, 4}),
    (5, "", "1", {1, 2, 3, 4, 5}),
    (5, "", "5", {5}),
    (5, "", " +2 ", {2, 4}),
    (5, "", 2, {2, 4}),
    (5, "", 2.9, {2, 4}),                        # a float is truncated
    (5, "1", "2", {1, 2, 4}),
    (5, "2", "0", {2}),
    (5, "2", "-3", {2}),
    (5, "2", "6", {2}),
    (5, "2", "9" * 40, {2}),
])
def test_selected_pages_receive_the_stamp(tmp_path, stamp, out, page, pages, target_pages,
                                          interval, expected, capsys):
    run(page, pdf_with(tmp_path, pages), stamp, str(out), pages=target_pages, interval=interval)
    assert page.messages() == [SAVED + str(out / "output.pdf")]
    placed = stamped_pages(out / "output.pdf")
    assert {n for n, rects in placed.items() if rects} == expected
    for n in expected:
        assert placed[n] == [STAMP]
    debug = [line for line in capsys.readouterr().out.splitlines() if line.startswith("DEBUG")]
    assert sorted(int(line.rsplit(" ", 1)[1]) for line in debug) == sorted(expected)


@pytest.mark.parametrize("target_pages, interval, message", [
    ("0,11,abc,2-4,", "", NOTHING_SELECTED),
    ("", "11", NOTHING_SELECTED),
    ("", "0", NOTHING_SELECTED),
    ("", "-3", NOTHING_SELECTED),
    ("9" * 30, "", NOTHING_SELECTED),
    ("", "9" * 30, NOTHING_SELECTED),
    ("\u00b2", "", BAD_LIST),                    # superscript two: a digit, not a number
    ("1,2,\u00b9", "1", BAD_LIST),
    ("1" * 5000, "", BAD_LIST),                  # beyond the runtime's integer digit limit
    (5, "", BAD_LIST),                           # not text
    ("", "abc", BAD_INTERVAL),
    ("", "2.5", BAD_INTERVAL),
    ("1", "1" * 5000, BAD_INTERVAL),
])
def test_page_input_errors(tmp_path, stamp, out, page, target_pages, interval, message, capsys):
    run(page, pdf_with(tmp_path, 10), stamp, str(out), pages=target_pages, interval=interval)
    assert page.messages() == [message]
    assert os.listdir(out) == []
    assert capsys.readouterr().out == ""


# --- geometry and output lines --------------------------------------------------

@pytest.mark.parametrize("geometry", [("10", "20", "30", "40"), (10, 20, 30, 40),
                                      (" 10 ", "20.0", 30.0, "4e1")])
def test_rectangle_and_lines(tmp_path, stamp, out, page, capsys, geometry):
    run(page, pdf_with(tmp_path, 3), stamp, str(out), geometry=geometry, pages="3,1")
    written = str(out / "output.pdf")
    rect = "Rect(28.34645669291339, 56.69291338582678, 113.38582677165356, 170.07874015748033)"
    assert capsys.readouterr().out.splitlines() == [
        f"DEBUG: Inserting image at {rect} on page 1",
        f"DEBUG: Inserting image at {rect} on page 3",
        f"[INFO] PDF出力完了: {written}",
    ]
    assert stamped_pages(written) == {1: [STAMP], 2: [],
                                      3: [STAMP]}


def test_image_is_stored_once(tmp_path, stamp, out, page, capsys):
    run(page, pdf_with(tmp_path, 20), stamp, str(out), interval="1")
    with fitz.open(out / "output.pdf") as doc:
        xrefs = {img[0] for p in doc for img in p.get_images()}
    assert len(xrefs) == 1


# --- failures -----------------------------------------------------------------------

@pytest.mark.parametrize("case, message", [
    (dict(pdf=""), BOTH_NEEDED),
    (dict(pdf=None), BOTH_NEEDED),
    (dict(image=""), BOTH_NEEDED),
    (dict(pdf="missing.pdf"), "【ERROR】PDFの読み込みに失敗しました: no such file: 'missing.pdf'"),
    (dict(x=""), BAD_NUMBER),
    (dict(y="abc"), BAD_NUMBER),
    (dict(width="1,5"), BAD_NUMBER),
    (dict(height=" "), BAD_NUMBER),
    (dict(width="0"), "【ERROR】ページ 1 への画像挿入に失敗: rect must be finite and not empty"),
    (dict(x="inf"), "【ERROR】ページ 1 への画像挿入に失敗: rect must be finite and not empty"),
    (dict(image="missing.png"), "【ERROR】ページ 1 への画像挿入に失敗: No such file: 'missing.png'"),
    (dict(out="missing-folder"),
     "【ERROR】PDFの保存に失敗: [Errno 2] No such file or directory: 'missing-folder/output.pdf'"),
])
def test_failures_show_a_dialog_and_write_nothing(tmp_path, stamp, out, page, monkeypatch, case,
                                                  message, capsys):
    monkeypatch.chdir(tmp_path)
    source = pdf_with(tmp_path, 3)
    before = sorted(os.listdir(tmp_path))
    args = dict(pdf=source, image=stamp, out=str(out), x="10", y="20", width="30", height="40")
    args.update(case)
    run(page, args["pdf"], args["image"], args["out"],
        geometry=(args["x"], args["y"], args["width"], args["height"]), pages="3,1")
    assert page.messages() == [message]
    assert os.listdir(out) == []
    assert sorted(os.listdir(tmp_path)) == before


def test_damaged_file_ends_in_the_open_dialog(tmp_path, stamp, out, page):
    bad = tmp_path / "bad.pdf"
    bad.write_bytes(b"%PDF-1.7\nnot really\n")
    run(page, str(bad), stamp, str(out), pages="1")
    [message] = page.messages()
    assert message.startswith("【ERROR】PDFの読み込みに失敗しました: ")
    assert os.listdir(out) == []


def line_of_failure(exc_info):
    """The traceback entry of process_pdf."""
    [entry] = [e for e in traceback.extract_tb(exc_info.tb) if e.name == "pdf_module.process_pdf"]
    return entry.name, entry.filename, entry.lineno


@pytest.mark.parametrize("change, error, line", [
    (dict(x=None), TypeError, 394),
    (dict(y=[]), TypeError, 395),
    (dict(height=object()), TypeError, 397),
    (dict(interval=[1]), TypeError, 415),
    (dict(out=5), TypeError, 440),
])
def test_other_errors_reach_the_host(tmp_path, stamp, out, page, change, error, line):
    args = dict(x="10", y="20", width="30", height="40", interval="", out=str(out))
    args.update(change)
    with pytest.raises(error) as exc_info:
        run(page, pdf_with(tmp_path, 3), stamp, args["out"],
            geometry=(args["x"], args["y"], args["width"], args["height"]),
            pages="1", interval=args["interval"])
    assert line_of_failure(exc_info) == ("pdf_module.process_pdf", "pdf_module.py", line)
    assert page.messages() == []
    assert os.listdir(out) == []


def test_names_are_looked_up_at_each_call(tmp_path, stamp, out, page, monkeypatch):
    source = pdf_with(tmp_path, 3)
    monkeypatch.setattr(pdf_module, "mm_to_pt", lambda mm: (_ for _ in ()).throw(ValueError()))
    run(page, source, stamp, str(out), pages="1")
    assert page.messages() == [BAD_NUMBER]
    monkeypatch.setattr(pdf_module, "mm_to_pt", lambda mm: (_ for _ in ()).throw(KeyError("k")))
    with pytest.raises(KeyError) as exc_info:
        run(page, source, stamp, str(out), pages="1")
    assert line_of_failure(exc_info)[2] == 394
    monkeypatch.delattr(pdf_module, "show_dialog")
    with pytest.raises(NameError, match="show_dialog") as exc_info:
        run(page, "", stamp, str(out))
    assert line_of_failure(exc_info)[2] == 382
    assert os.listdir(out) == []


# --- output names ----------------------------------------------------------------

def test_naming_sequence_across_runs(tmp_path, stamp, out, page, capsys):
    source = pdf_with(tmp_path, 2)
    for _ in range(3):
        run(page, source, stamp, str(out), pages="1")
    names = ["output.pdf", "output.pdf_1.pdf", "output.pdf_2.pdf"]
    assert page.messages() == [SAVED + str(out / n) for n in names]
    assert sorted(os.listdir(out)) == names


def test_source_named_output_pdf_is_never_overwritten(tmp_path, stamp, out, page, capsys):
    source = make_pdf(out / "output.pdf", 2)
    original = (out / "output.pdf").read_bytes()
    run(page, source, stamp, str(out), pages="1,2")
    assert (out / "output.pdf").read_bytes() == original
    assert page.messages() == [SAVED + str(out / "output.pdf_1.pdf")]
    assert stamped_pages(out / "output.pdf_1.pdf") == {1: [STAMP],
                                                       2: [STAMP]}


def test_empty_save_path_writes_into_the_working_directory(tmp_path, stamp, out, page,
                                                          monkeypatch, capsys):
    monkeypatch.chdir(out)
    run(page, pdf_with(tmp_path, 1), stamp, "", pages="1")
    assert page.messages() == [SAVED + os.path.join(str(out), "output.pdf")]
    assert os.listdir(out) == ["output.pdf"]


@pytest.mark.parametrize("link_target", ["outside/created.pdf", "outside/existing.pdf"])
def test_a_link_in_the_folder_is_never_written_through(tmp_path, stamp, out, page, link_target,
                                                       capsys):
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "existing.pdf").write_bytes(b"someone else's")
    os.symlink(tmp_path / link_target, out / "output.pdf")
    run(page, pdf_with(tmp_path, 1), stamp, str(out), pages="1")
    assert page.messages() == [SAVED + str(out / "output.pdf_1.pdf")]
    assert sorted(os.listdir(tmp_path / "outside")) == ["existing.pdf"]
    assert (tmp_path / "outside" / "existing.pdf").read_bytes() == b"someone else's"
    assert os.readlink(out / "output.pdf") == str(tmp_path / link_target)
    assert stamped_pages(out / "output.pdf_1.pdf") == {1: [STAMP]}


def test_a_name_taken_after_the_check_is_left_alone(tmp_path, stamp, out, page, monkeypatch,
                                                   capsys):
    original = pdf_module.get_unique_filename

    def taken_right_after(directory, base_name):
        name = original(directory, base_name)
        with open(name, "xb") as other:  # another program creates that file now
            other.write(b"theirs")
        return name

    monkeypatch.setattr(pdf_module, "get_unique_filename", taken_right_after)
    run(page, pdf_with(tmp_path, 1), stamp, str(out), pages="1")
    assert (out / "output.pdf").read_bytes() == b"theirs"
    assert page.messages() == [SAVED + str(out / "output.pdf_1.pdf")]
    assert "[INFO] PDF出力完了: " + str(out / "output.pdf_1.pdf") in capsys.readouterr().out
    assert stamped_pages(out / "output.pdf_1.pdf") == {1: [STAMP]}


@pytest.mark.parametrize("failure", [RuntimeError("disk full"), KeyboardInterrupt()])
def test_a_failed_save_leaves_nothing_behind(tmp_path, stamp, out, page, monkeypatch, failure,
                                             capsys):
    def failing_save(self, *args, **kwargs):
        with open(args[0], "wb") as partial:
            partial.write(b"%PDF-1.7 partial")
        raise failure

    source = pdf_with(tmp_path, 1)
    monkeypatch.setattr(fitz.Document, "save", failing_save)
    if isinstance(failure, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            run(page, source, stamp, str(out), pages="1")
        assert page.messages() == []
    else:
        run(page, source, stamp, str(out), pages="1")
        assert page.messages() == ["【ERROR】PDFの保存に失敗: disk full"]
    assert os.listdir(out) == []


def test_a_saved_file_survives_a_later_failure(tmp_path, stamp, out, page, monkeypatch, capsys):
    source = pdf_with(tmp_path, 1)
    monkeypatch.setattr(fitz.Document, "close", lambda self: (_ for _ in ()).throw(OSError("busy")))
    run(page, source, stamp, str(out), pages="1")
    monkeypatch.undo()
    assert page.messages() == ["【ERROR】PDFの保存に失敗: busy"]
    assert stamped_pages(out / "output.pdf") == {1: [STAMP]}

    shown = []

    def success_dialog_fails(page, message):
        shown.append(message)
        if message.startswith(SAVED):
            raise RuntimeError("no window")

    monkeypatch.setattr(pdf_module, "show_dialog", success_dialog_fails)
    run(page, source, stamp, str(out), pages="1")
    assert shown == [SAVED + str(out / "output.pdf_1.pdf"), "【ERROR】PDFの保存に失敗: no window"]
    assert stamped_pages(out / "output.pdf_1.pdf") == {1: [STAMP]}


CONCURRENT_RUN = """
    import sys, time, types
    sys.modules["state"] = types.ModuleType("state")
    import pdf_module

    class Page:
        def open(self, dialog): print("DIALOG", dialog.title.value, flush=True)
        def update(self): pass

    choose = pdf_module.get_unique_filename
    def slow_choice(directory, base_name):
        name = choose(directory, base_name)
        time.sleep(0.5)  # both runs choose before either writes
        return name
    pdf_module.get_unique_filename = slow_choice
    source, stamp, out, go = sys.argv[1:]
    while not __import__("os").path.exists(go):
        time.sleep(0.005)
    pdf_module.process_pdf(source, stamp, out, 10, 20, 30, 40, "", "1", Page())
"""


def test_two_runs_into_one_folder_at_once(tmp_path, stamp, out):
    source = pdf_with(tmp_path, 200)
    go = tmp_path / "go"
    runs = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(CONCURRENT_RUN),
                              source, stamp, str(out), str(go)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONIOENCODING="utf-8"))
            for _ in range(2)]
    time.sleep(0.5)
    go.touch()
    results = [r.communicate(timeout=300) for r in runs]
    assert all(r.returncode == 0 for r in runs), results
    dialogs = sorted(line for stdout, _ in results for line in stdout.splitlines()
                     if line.startswith("DIALOG"))
    names = ["output.pdf", "output.pdf_1.pdf"]
    assert dialogs == [f"DIALOG {SAVED}{out / n}" for n in names]
    assert sorted(os.listdir(out)) == names
    for name in names:
        placed = stamped_pages(out / name)
        assert len(placed) == 200 and all(rects == [STAMP]
                                          for rects in placed.values())


# --- rotated pages ------------------------------------------------------------------

@pytest.mark.parametrize("cropbox", [None, (30, 40, 500, 700)])
@pytest.mark.parametrize("rotation", [0, 90, 180, 270])
def test_stamp_appears_where_the_preview_shows_it(tmp_path, stamp, out, page, rotation, cropbox,
                                                   capsys):
    source = make_pdf(tmp_path / "rotated.pdf", 1, size=(612, 792), rotations={0: rotation},
                      cropbox=cropbox)
    run(page, source, stamp, str(out), pages="1")
    with fitz.open(source) as before, fitz.open(out / "output.pdf") as after:
        shown_before, shown_after = render(before[0]), render(after[0])
    # The preview renders the page as displayed and lays the stamp over it at
    # the entered millimetres: at 72 dpi one pixel is one point.
    box = changed_box(shown_before, shown_after)
    assert_close(box, mm_rect(*("10", "20", "30", "40")))
    assert quadrant_colours(shown_after, box) == UPRIGHT
    # The line names the rectangle as entered, whatever the page's rotation.
    assert capsys.readouterr().out.startswith(
        "DEBUG: Inserting image at Rect(28.34645669291339, 56.69291338582678, "
        "113.38582677165356, 170.07874015748033) on page 1\n")


def test_insert_options_only_on_rotated_pages(tmp_path, stamp, out, page, monkeypatch, capsys):
    calls = []
    insert = fitz.Page.insert_image

    def recording(self, rect, **options):
        calls.append((self.number + 1, self.rotation, sorted(options)))
        return insert(self, rect, **options)

    monkeypatch.setattr(fitz.Page, "insert_image", recording)
    source = pdf_with(tmp_path, 4, rotations={1: 90, 2: 180, 3: 270})
    run(page, source, stamp, str(out), interval="1")
    assert sorted(calls) == [(1, 0, ["filename"]), (2, 90, ["filename", "rotate"]),
                             (3, 180, ["filename", "rotate"]), (4, 270, ["filename", "rotate"])]


# --- reference leaks ------------------------------------------------------------------

class QuietPage:
    def open(self, dialog):
        pass

    def update(self):
        pass


@pytest.mark.parametrize("case", ["saved", "both needed", "open fails", "bad number",
                                  "bad list", "bad interval", "nothing selected",
                                  "insert fails", "save fails"])
def test_no_reference_leaks(tmp_path, stamp, out, case):
    source = pdf_with(tmp_path, 2)
    args = dict(pdf=source, image=stamp, out=str(out), x="10", pages="1", interval="2")
    args.update({
        "saved": {}, "both needed": dict(image=""), "open fails": dict(pdf=str(tmp_path / "no.pdf")),
        "bad number": dict(x="x"), "bad list": dict(pages="\u00b2"), "bad interval": dict(interval="x"),
        "nothing selected": dict(pages="9", interval="9"), "insert fails": dict(image="no.png"),
        "save fails": dict(out=str(tmp_path / "no-folder")),
    }[case])
    written = out / "output.pdf"

    def once():
        pdf_module.process_pdf(args["pdf"], args["image"], args["out"], args["x"], "20", "30",
                               "40", args["pages"], args["interval"], QuietPage())
        if written.exists():
            written.unlink()

    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        assert allocated_blocks_stay_flat(once, warmup=20, calls=150, slack=64)
    assert os.listdir(out) == []
