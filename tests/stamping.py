"""Helpers for the stamping tests: generated PDFs and stamp images, calling
process_pdf with field texts, and finding a stamp on a rendered page."""

import fitz
from PIL import Image, ImageChops, ImageDraw

import pdf_module

# The stamp's four quarters, so that a turned or mirrored stamp is told apart.
QUADRANTS = {"top_left": (255, 0, 0), "top_right": (0, 160, 0),
             "bottom_left": (0, 0, 255), "bottom_right": (255, 200, 0)}


def make_stamp(path):
    """A 60 x 80 pixel stamp image whose quarters have the QUADRANTS colours."""
    quarters = Image.frombytes("RGB", (2, 2), bytes(sum(QUADRANTS.values(), ())))
    quarters.resize((60, 80), Image.Resampling.NEAREST).save(path)
    return str(path)


def make_pdf(path, pages=1, rotation=0, cropbox=(0, 0, 595, 842)):
    """An A4 PDF with `pages` blank pages."""
    with fitz.open() as doc:
        for _ in range(pages):
            page = doc.new_page(width=595, height=842)
            page.set_cropbox(fitz.Rect(cropbox))
            page.set_rotation(rotation)
        doc.save(str(path))
    return str(path)


def run(page, pdf, image, out, **change):
    """process_pdf with field texts: x 10, y 20, 30 x 40 mm, no page, unless changed."""
    args = dict(pdf=pdf, image=image, out=out, x="10", y="20", width="30", height="40",
                pages="", interval="")
    args.update(change)
    return pdf_module.process_pdf(*args.values(), page)


def stamped_pages(path):
    """{page number from 1: [placements to 0.001 point]} of the pages with images."""
    with fitz.open(path) as doc:
        return {p.number + 1: [tuple(round(v, 3) for v in i["bbox"]) for i in p.get_image_info()]
                for p in doc if p.get_image_info()}


def find_stamp(before, after):
    """The pixel box in which page `after` renders differently from page
    `before` (or None), and the QUADRANTS names of its quarters' colours."""
    shown = [Image.frombytes("RGB", (pix.width, pix.height), pix.samples)
             for pix in (before.get_pixmap(), after.get_pixmap())]
    box = ImageChops.difference(*shown).getbbox()
    quarters = shown[1].crop(box).resize((2, 2), Image.Resampling.BOX)
    means = [quarters.getpixel((x, y)) for y in (0, 1) for x in (0, 1)]
    return box, [next((name for name, colour in QUADRANTS.items()
                       if max(abs(a - b) for a, b in zip(mean, colour)) < 40), None)
                 for mean in means]


def make_document(path, sizes=((595, 842, 0),), text="Invoice 2024-001", bookmarks=False,
                  **save_options):
    """A PDF with one page per (width, height, rotation) in points, each with
    a line of dark text across its middle as displayed; with `bookmarks` a
    bookmark per page and a note annotation on page 1; `save_options` go to
    save (e.g. encryption)."""
    with fitz.open() as doc:
        for width, height, rotation in sizes:
            page = doc.new_page(width=width, height=height)
            page.set_rotation(rotation)
            shown = page.rect
            page.insert_text(fitz.Point(30, shown.height / 2) * page.derotation_matrix, text,
                             fontsize=28, rotate=rotation)
        if bookmarks:
            doc.set_toc([[1, f"page {n}", n] for n in range(1, len(doc) + 1)])
            doc[0].add_text_annot((20, 20), "checked")
        doc.save(str(path), **save_options)
    return str(path)


def make_seal(path, size=(120, 120), dpi=None):
    """A red ring on a white background (no transparency), as scanned seals are."""
    image = Image.new("RGB", size, "white")
    ImageDraw.Draw(image).ellipse((8, 8, size[0] - 8, size[1] - 8), outline=(200, 0, 0), width=14)
    image.save(path, **({"dpi": dpi} if dpi else {}))
    return str(path)


def sign(path, out, signed=True):
    """A copy of `path` with a signature field; when `signed`, its value is a
    signature object, so that PyMuPDF reports it signed (it cannot sign)."""
    with fitz.open(path) as doc:
        widget = fitz.Widget()
        widget.field_type, widget.field_name = fitz.PDF_WIDGET_TYPE_SIGNATURE, "approval"
        widget.rect = fitz.Rect(50, 50, 200, 100)
        doc[0].add_widget(widget)
        if not signed:
            doc.save(str(out))
            return str(out)
        signature = doc.get_new_xref()
        doc.update_object(signature, "<< /Type /Sig /Filter /Adobe.PPKLite "
                                     "/Contents <00> /ByteRange [0 0 0 0] >>")
        doc.xref_set_key(next(doc[0].widgets()).xref, "V", f"{signature} 0 R")
        doc.save(str(out))
    return str(out)


def render(page):
    """The page rendered at 72 dpi as a Pillow image."""
    pix = page.get_pixmap()
    return Image.frombytes("RGB", (pix.width, pix.height), pix.samples)
