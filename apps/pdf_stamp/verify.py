"""Checks a saved result against its source before it takes its final name:
the same pages, the stamp on every selected page, and forms, annotations and
bookmarks kept."""

import dataclasses

import fitz
from PIL import Image

from .exceptions import VerificationFailed


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
    """Checks the result of stamping each (pages, image path) of `marks`;
    returns the pages found stamped, or raises VerificationFailed naming
    what differs."""
    sizes = []
    for pages, image_path in marks:
        with Image.open(image_path) as img:
            sizes.append((set(pages), img.size))
    with fitz.open(result_path) as doc:
        after = snapshot_document(doc)
    problems = [f"{label}が {getattr(source_snapshot, name)} から {getattr(after, name)} に変わりました"
                for name, label in (("page_count", "ページ数"), ("form_fields", "フォームフィールド数"),
                                    ("annotations", "注釈数"), ("bookmarks", "しおり数"))
                if getattr(source_snapshot, name) != getattr(after, name)]
    if not problems:
        missing = sorted({p for pages, size in sizes for p in pages
                          if after.images[p - 1].count(size)
                          - source_snapshot.images[p - 1].count(size)
                          < sum(p in other and size == same for other, same in sizes)})
        if missing:
            problems.append("押印されていないページがあります: " + ",".join(map(str, missing)))
    if problems:
        raise VerificationFailed("【ERROR】出力の検証に失敗しました: " + "、".join(problems))
    return Verification(sorted(set().union(*(pages for pages, _size in sizes))), after)
