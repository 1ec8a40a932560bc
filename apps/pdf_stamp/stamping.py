"""One file's whole job: safety check, page rules, size, anchors, seal
preparation, process_pdf into a private temporary folder, verification there,
and the final name."""

import os
import shutil
import sys
import tempfile

import fitz

from . import host, placement, safety
from .exceptions import ModuleRefused, StampError
from .job import FileResult
from .naming import claim, plan_names
from .pages import every_pages, module_page_list, parse_rules
from .seal import prepare_mark, turned_box
from .sizing import complete_size, natural_size
from .verify import snapshot_document, verify

NOT_A_NUMBER = "【ERROR】数値が正しく入力されていません"  # process_pdf's text for the same fault


def stamp_file(job, source, wanted=None):
    """Stamps `source` as `job` says and names the result `wanted` (default:
    the planned name). Never raises for the file's own failure: the returned
    FileResult carries the error."""
    result = FileResult(source=source)
    try:
        _stamp(job, source, wanted, result)
    except StampError as error:
        result.error = str(error)
    except Exception as error:  # an unforeseen fault is still only this file's failure
        result.error = f"【ERROR】{source}: {type(error).__name__}: {error}"
    return result


def _stamp(job, source, wanted, result):
    pdf_module = host.load_module()
    wanted = wanted or plan_names([source], job.out_dir, job.suffix)[0]
    name = os.path.basename(source)
    try:
        folder = tempfile.mkdtemp(prefix=".pdf-stamp-", dir=os.path.abspath(job.out_dir or os.curdir))
    except FileNotFoundError:
        raise StampError(f"【ERROR】出力フォルダがありません: {job.out_dir}") from None
    try:
        run = _Passes(pdf_module, job, folder, result.messages)
        try:
            doc = fitz.open(source)
        except Exception:
            run.refusal(source, job.each_mark()[0])  # in the module's own words
        with doc:
            safety.raise_for(safety.inspect_document(doc), name, job.allow_rewrite)
            before = snapshot_document(doc)
            plans = [_plan(run, mark, doc, source, f"mark{index}")
                     for index, mark in enumerate(job.each_mark(), 1)]
        result.size_before = os.path.getsize(source)
        done = source
        for _selected, image, groups in plans:  # each mark stamps the previous pass's output
            for x, y, width, height, pages in groups:
                done = run.process(done, image, x, y, width, height, pages)
        stamped = [(image, groups) for _selected, image, groups in plans]
        result.pages_stamped = verify(before, done, stamped).pages_stamped
        result.result = claim(done, wanted)
        result.size_after = os.path.getsize(result.result)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _plan(run, mark, doc, source, name):
    """(pages, image, placements) of one mark on the open document."""
    selected = parse_rules(mark.pages).expand(len(doc), os.path.basename(source))
    try:
        selected = sorted(set(selected).union(every_pages(mark.every, len(doc))))
    except ValueError:
        run.refusal(source, mark, pages=selected)
    try:
        picture, image = prepare_mark(mark, run.folder, name)
    except OSError as error:
        raise StampError(f"【ERROR】画像を読み込めません: {error}") from None
    return selected, image, _placements(mark, doc, selected, picture, image)


def _placements(job, doc, selected, picture, image):
    """(x, y, width, height, pages) per process_pdf pass: one pass with the
    given position, or with an anchor one per group of pages on which the
    stamp lands at the same x and y (pages of equal displayed size). The
    size is the `picture`'s before it is turned; the box, the tilted
    `image`'s bounding box."""
    try:
        width, height = turned_box(*complete_size(picture, job.width, job.height), job.rotate)
        if not job.anchor or not selected:
            # A missing position reaches the module as empty text, which it
            # refuses; with an anchor and no page, it reports that no page is selected.
            x, y = ("0", "0") if job.anchor else (_text(job.x), _text(job.y))
            return [(x, y, width, height, selected)]
        ratio = natural_size(image).pixel_ratio
        box_w, box_h, margin = float(width), float(height), float(job.margin)
    except ValueError:
        raise StampError(NOT_A_NUMBER) from None
    except OSError as error:
        raise StampError(f"【ERROR】画像を読み込めません: {error}") from None
    groups = {}
    for number in selected:
        page_w, page_h = placement.displayed_size_mm(doc[number - 1])
        x, y = placement.anchor_position(job.anchor, margin, page_w, page_h, box_w, box_h, ratio)
        groups.setdefault((str(x), str(y)), []).append(number)
    return [(x, y, width, height, pages) for (x, y), pages in groups.items()]


def _text(value):
    return "" if value is None else value


class _Passes:
    """Runs process_pdf into the private folder with a stand-in page, keeps
    the module's messages, and turns an error dialog into ModuleRefused."""

    def __init__(self, pdf_module, job, folder, messages):
        self.pdf_module, self.job, self.folder, self.messages = pdf_module, job, folder, messages

    def process(self, source, image, x, y, width, height, pages, every=""):
        page = host.CollectingPage()
        with host.module_output(sys.stderr if self.job.verbose else None):
            self.pdf_module.process_pdf(source, image, self.folder, x, y, width, height,
                                        module_page_list(pages), every, page)
        self.messages.extend(page.messages)
        if page.error or not page.written:
            raise ModuleRefused(page.error or "【ERROR】PDFが出力されませんでした")
        return page.written

    def refusal(self, source, mark, pages=()):
        """Lets process_pdf refuse input the host cannot use itself (a file it
        cannot open, an interval that is not a whole number), in its own words.
        It refuses these before it reads the image, so a generated seal's
        name stands in for its file."""
        image = mark.image or os.path.join(self.folder, "seal.png")
        self.process(source, image, mark.x or "0", mark.y or "0", mark.width or "1",
                     mark.height or "1", pages, mark.every)
        raise StampError(f"【ERROR】{source}: 処理できませんでした")
