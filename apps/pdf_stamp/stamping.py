"""One file's whole job: safety check, page rules, size, anchors, seal
preparation, process_pdf into a private temporary folder, verification there,
and the final name."""

import math
import os
import shutil
import sys
import tempfile

import fitz

from . import host, placement, protection, safety
from .exceptions import BadValue, ModuleRefused, SignedDocument, StampError, UnreadableDocument
from .i18n import _
from .job import FileResult
from .naming import claim, plan_names
from .pages import every_pages, module_page_list, parse_rules
from .seal import prepare_mark, turned_box
from .sizing import complete_size, pixel_ratio
from .source import (damaged_text, odd_rotations, open_pdf, private_source, upright_copy,
                     usable_path)
from .verify import Stamp, snapshot_document, verify


def stamp_file(job, source, wanted=None):
    """Stamps `source` as `job` says and names the result `wanted` (default:
    the planned name). Never raises for the file's own failure: the returned
    FileResult carries the error. MuPDF's own messages go into the result's
    messages, not to the terminal."""
    result = FileResult(source=source)
    private = {}  # path in the private folder -> the name shown for it
    shown = fitz.TOOLS.mupdf_display_errors(), fitz.TOOLS.mupdf_display_warnings()
    fitz.TOOLS.mupdf_display_errors(False)
    fitz.TOOLS.mupdf_display_warnings(False)
    fitz.TOOLS.reset_mupdf_warnings()
    try:
        _stamp(job, source, wanted, result, private)
    except StampError as error:
        result.error = str(error)
    except Exception as error:  # an unforeseen fault is still only this file's failure
        result.error = f"【ERROR】{source}: {type(error).__name__}: {error}"
    finally:
        fitz.TOOLS.mupdf_display_errors(shown[0])
        fitz.TOOLS.mupdf_display_warnings(shown[1])
    result.messages += fitz.TOOLS.mupdf_warnings().splitlines()
    if not result.ok:  # nothing was written, whatever the module said
        result.pages_stamped, result.warnings = [], []
        result.messages = [m for m in result.messages if not m.startswith(host.DONE_PREFIX)]
    _hide_private_paths(result, private)
    return result


def _hide_private_paths(result, private):
    """Names the files of the private folder, which is gone, by what they
    stand for (each pass's output by the result)."""
    private = {path: (result.result or os.path.basename(path)) if name is None else name
               for path, name in private.items()}

    def public(text):
        for path in sorted(private, key=len, reverse=True):  # files before their folder
            text = text.replace(path, private[path])
        return text
    result.messages = [public(m) for m in result.messages]
    result.error = result.error and public(result.error)
    for warning in result.warnings:
        warning["text"] = public(warning["text"])


def _stamp(job, source, wanted, result, private):
    pdf_module = host.load_module()
    wanted = wanted or plan_names([source], job.out_dir, job.suffix)[0]
    name = os.path.basename(source)
    try:
        folder = tempfile.mkdtemp(prefix=".pdf-stamp-", dir=os.path.abspath(job.out_dir or os.curdir))
    except FileNotFoundError:
        raise StampError(_("The output folder does not exist: {folder}").format(
            folder=job.out_dir)) from None
    private[folder] = job.out_dir or os.curdir
    try:
        # Signing is an incremental update of the source instead of a rewrite;
        # the other marks of a marks file are stamped first, as plain marks.
        signer, marks = job.signature_parts() if job.signing else (None, job.each_mark())
        if job.signing and signer is None:  # the command line refuses this before any file
            raise StampError(_("with --marks and --sign, give the signature's mark sign = true"))
        if signer is not None and not marks:
            from .signing import sign_into

            return sign_into(signer, source, wanted, result, folder)
        run = _Passes(pdf_module, job, folder, result.messages, private)
        working, access = private_source(source, os.path.join(folder, "source.pdf"), name,
                                         job.pdf_password)
        private[working] = source
        try:
            doc = open_pdf(working, name)
        except StampError:
            raise
        except Exception as error:
            if os.path.isfile(working):  # there, but not a PDF the library can read
                raise UnreadableDocument(damaged_text(name, error)) from None
            # the module reports a file it cannot open in its own words
            run.refusal(working, marks[0])
        with doc:
            if signer is not None and safety.has_signed_field(doc):
                raise SignedDocument(_(
                    "{name} is already signed: the other marks of the marks file cannot be "
                    "stamped on it, as stamping rewrites the file. Sign it with a marks file "
                    "that holds only the signature's mark.").format(name=name))
            safety.raise_for(safety.inspect_document(doc), name, job.allow_rewrite)
            before = snapshot_document(doc)
            odd = odd_rotations(doc)
            if odd:
                working = upright_copy(doc, odd, os.path.join(folder, "upright.pdf"), name)
                private[working] = source
            plans = [_plan(run, mark, doc, working, name, f"mark{index}")
                     for index, mark in enumerate(marks, 1)]
        result.size_before = os.path.getsize(source)
        done = working
        for image, passes in plans:  # each mark stamps the previous pass's output
            for stamp, texts in passes:
                done = run.process(done, image, *texts, stamp.pages)
        checked = verify(before, done, [stamp for _image, passes in plans for stamp, _t in passes],
                         name)
        done = protection.reprotect(source, done, folder, access)
        if signer is not None:  # the stamped result, checked, takes the signature
            from .signing import sign_into

            sign_into(signer, done, wanted, result, folder, name)
            result.size_before = os.path.getsize(source)
            result.pages_stamped = sorted({*checked.pages_stamped, *result.pages_stamped})
            result.warnings = checked.warnings + result.warnings
            return
        result.result = claim(done, wanted, marked=access is None)
        result.pages_stamped, result.warnings = checked.pages_stamped, checked.warnings
        result.size_after = os.path.getsize(result.result)
    finally:
        _remove(folder)


def _remove(folder):
    """Removes the private folder. A stop that cuts into the removal (a
    worker whose parent is gone is stopped so, wherever it is) has it done
    again before the stop goes on."""
    try:
        shutil.rmtree(folder, ignore_errors=True)
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise


def _field_name(field):
    return {"x": _("x position"), "y": _("y position"), "width": _("width"),
            "height": _("height"), "margin": _("margin")}[field]


def number(value, field, positive=False):
    """The float of a field's text; BadValue naming the field when it is not
    a finite number (or, with `positive`, not above 0)."""
    try:
        result = float(value)
    except (TypeError, ValueError):
        result = math.nan
    if not math.isfinite(result) or (positive and result <= 0):
        raise BadValue(_("Not a usable number for the {field}: \"{value}\"").format(
            field=_field_name(field), value="" if value is None else value))
    return result


def _plan(run, mark, doc, source, name, key):
    """(image, passes) of one mark on the open document: the image it
    stamps, prepared in the private folder, and its process_pdf passes as
    _placements gives them. `key` keeps the files of several marks apart."""
    selected = parse_rules(mark.pages).expand(len(doc), name)
    try:
        selected = sorted(set(selected).union(every_pages(mark.every, len(doc))))
    except ValueError:
        run.refusal(source, mark, pages=selected)
    try:
        picture, image = prepare_mark(mark, run.folder, key)
        image = usable_path(image, os.path.join(run.folder, key + os.path.splitext(image)[1]))
    except OSError as error:
        raise StampError(_("Cannot read the image: {error}").format(error=error)) from None
    return image, _placements(mark, doc, selected, picture, image)


def _placements(job, doc, selected, picture, image):
    """The process_pdf passes, (Stamp, the four texts it is given): one with the
    given position, or with an anchor one per group of pages on which the
    stamp lands at the same x and y (pages of equal displayed size). The
    size is the `picture`'s before it is turned; the box, the tilted
    `image`'s bounding box."""
    try:
        if not job.anchor:
            x, y = number(job.x, "x"), number(job.y, "y")
        margin = number(job.margin, "margin")
        if job.width is not None:
            number(job.width, "width", positive=True)
        if job.height is not None:
            number(job.height, "height", positive=True)
        width, height = turned_box(*complete_size(picture, job.width, job.height), job.rotate)
        box_w, box_h = number(width, "width", True), number(height, "height", True)
        ratio = pixel_ratio(image)
    except OSError as error:
        raise StampError(_("Cannot read the image: {error}").format(error=error)) from None
    if not job.anchor or not selected:
        # With an anchor and no page, the module reports that no page is selected.
        x, y, texts = (0.0, 0.0, ("0", "0")) if job.anchor else (x, y, (job.x, job.y))
        return [(Stamp((x, y, box_w, box_h), ratio, tuple(selected)), (*texts, width, height))]
    groups = {}
    for page_number in selected:
        page_w, page_h = placement.displayed_size_mm(doc[page_number - 1])
        x, y = placement.anchor_position(job.anchor, margin, page_w, page_h, box_w, box_h, ratio)
        groups.setdefault((x, y), []).append(page_number)
    return [(Stamp((x, y, box_w, box_h), ratio, tuple(pages)), (str(x), str(y), width, height))
            for (x, y), pages in groups.items()]


class _Passes:
    """Runs process_pdf into the private folder with a stand-in page, keeps
    the module's messages, and turns an error dialog into ModuleRefused."""

    def __init__(self, pdf_module, job, folder, messages, private):
        self.pdf_module, self.job, self.folder, self.messages = pdf_module, job, folder, messages
        self.private = private  # each written file is named by the result (None until known)

    def process(self, source, image, x, y, width, height, pages, every=""):
        page = host.CollectingPage()
        with host.module_output(sys.stderr if self.job.verbose else None):
            self.pdf_module.process_pdf(source, image, self.folder, x, y, width, height,
                                        module_page_list(pages), every, page)
        self.messages.extend(page.messages)
        if page.written:
            self.private[page.written] = None
        if page.error or not page.written:
            raise ModuleRefused(page.error or _("No PDF was written"))
        return page.written

    def refusal(self, source, mark, pages=()):
        """Lets process_pdf refuse input the host cannot use itself (a file it
        cannot open, an interval that is not a whole number), in its own words.
        It refuses these before it reads the image, so a generated seal's
        name stands in for its file."""
        image = mark.image or os.path.join(self.folder, "seal.png")
        self.process(source, image, mark.x or "0", mark.y or "0", mark.width or "1",
                     mark.height or "1", pages, mark.every)
        raise StampError(_("{source}: could not be processed").format(source=source))
