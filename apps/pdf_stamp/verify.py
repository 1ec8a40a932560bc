"""Checks a saved result against its source before it takes its final name:
the same pages, the stamp on every selected page, and forms, annotations and
bookmarks kept."""

import dataclasses

import fitz
from PIL import Image

from .exceptions import VerificationFailed
from .placement import drawn_size


@dataclasses.dataclass(frozen=True)
class Snapshot:
    page_count: int
    form_fields: int
    annotations: int
    bookmarks: int
    images: tuple  # per page: the (width, height) in pixels of each image it uses


@dataclasses.dataclass(frozen=True)
class Verification:
    pages_stamped: list
    snapshot: Snapshot


def snapshot_document(doc):
    return Snapshot(
        page_count=len(doc),
        form_fields=int(doc.is_form_pdf or 0),
        annotations=sum(len(page.annot_xrefs()) for page in doc),
        bookmarks=len(doc.get_toc(simple=True)),
        images=tuple(tuple((i[2], i[3]) for i in page.get_images()) for page in doc),
    )


def snapshot(pdf_path):
    with fitz.open(pdf_path) as doc:
        return snapshot_document(doc)


def verify(source_snapshot, result_path, marks):
    """Checks the result of stamping `marks` in turn, each an (image path,
    placements) pair with the placements as process_pdf was given them:
    (x, y, width, height, pages), in mm. Returns the pages found stamped, or
    raises VerificationFailed naming what differs."""
    stamps = []  # (page, image size in pixels, rectangle drawn on the page as displayed)
    for image_path, placements in marks:
        with Image.open(image_path) as img:
            size = img.size
        for x, y, width, height, pages in placements:
            stamps += [(page, size, _drawn(x, y, width, height, size)) for page in pages]
    with fitz.open(result_path) as doc:
        after = snapshot_document(doc)
        problems = [f"{label}が {getattr(source_snapshot, name)} から {getattr(after, name)} に変わりました"
                    for name, label in (("page_count", "ページ数"), ("form_fields", "フォームフィールド数"),
                                        ("annotations", "注釈数"), ("bookmarks", "しおり数"))
                    if getattr(source_snapshot, name) != getattr(after, name)]
        if not problems:
            missing = sorted({p for p, size, _rect in stamps
                              if after.images[p - 1].count(size) - source_snapshot.images[p - 1].count(size)
                              < sum(p == q and size == other for q, other, _r in stamps)})
            misplaced = sorted({p for p, size, rect in stamps
                                if p not in missing and not _found(doc[p - 1], size, rect)})
            if missing:
                problems.append("押印されていないページがあります: " + ",".join(map(str, missing)))
            if misplaced:
                problems.append("押印の位置が違うページがあります: " + ",".join(map(str, misplaced)))
    if problems:
        raise VerificationFailed("【ERROR】出力の検証に失敗しました: " + "、".join(problems))
    return Verification(sorted({page for page, _size, _rect in stamps}), after)


def _drawn(x, y, width, height, size):
    """Where process_pdf draws an image of `size` pixels into the box given
    in mm: fitted into it and centred, in pt on the page as displayed."""
    x, y, width, height = (float(v) * 72 / 25.4 for v in (x, y, width, height))
    drawn_w, drawn_h = drawn_size(width, height, size[0] / size[1])
    left, top = x + (width - drawn_w) / 2, y + (height - drawn_h) / 2
    return fitz.Rect(left, top, left + drawn_w, top + drawn_h)


def _found(page, size, rect, tolerance=0.5):
    """Whether an image of `size` pixels is drawn at `rect` (pt, as displayed)."""
    for info in page.get_image_info():
        shown = fitz.Rect(info["bbox"]) * page.rotation_matrix
        if (info["width"], info["height"]) == size \
                and all(abs(a - b) <= tolerance for a, b in zip(shown, rect)):
            return True
    return False
