# Generated PDFs and stamps, process_pdf with field texts, a stamp found in a rendering.
import fitz
from PIL import Image, ImageChops, ImageDraw

import pdf_module

# The stamp's four quarters, so that a turned or mirrored stamp is told apart.
QUADRANTS = {"top_left": (255, 0, 0), "top_right": (0, 160, 0),
             "bottom_left": (0, 0, 255), "bottom_right": (255, 200, 0)}


def make_stamp(path):
    quarters = Image.frombytes("RGB", (2, 2), bytes(sum(QUADRANTS.values(), ())))
    quarters.resize((60, 80), Image.Resampling.NEAREST).save(path)
    return str(path)


def make_pdf(path, pages=1, rotation=0, cropbox=(0, 0, 595, 842)):
    with fitz.open() as doc:
        for _ in range(pages):
            page = doc.new_page(width=595, height=842)
            page.set_cropbox(fitz.Rect(cropbox))
            page.set_rotation(rotation)
        doc.save(str(path))
    return str(path)


def run(page, pdf, image, out, **change):
    args = dict(dict(pdf=pdf, image=image, out=out, x="10", y="20", width="30", height="40",
                     pages="", interval=""), **change)
    return pdf_module.process_pdf(*args.values(), page)


def stamp(folder, pdf, **change):  # pdf_stamp's stamp_file, into `folder`, with s.png made there
    from pdf_stamp.job import StampJob
    from pdf_stamp.stamping import stamp_file

    job = dict(image=make_stamp(folder / "s.png"), x="10", y="20", width="40", height="40",
               pages="all", out_dir=str(folder))
    return stamp_file(StampJob(**dict(job, **change)), str(pdf))


def stamped_pages(path):
    with fitz.open(path) as doc:
        return {p.number + 1: [tuple(round(v, 3) for v in i["bbox"]) for i in p.get_image_info()]
                for p in doc if p.get_image_info()}


def find_stamp(before, after):  # the box where `after` renders differently; its quarters' names
    shown = [render(before), render(after)]
    box = ImageChops.difference(*shown).getbbox()
    quarters = shown[1].crop(box).resize((2, 2), Image.Resampling.BOX)
    means = [quarters.getpixel((x, y)) for y in (0, 1) for x in (0, 1)]
    return box, [next((name for name, colour in QUADRANTS.items()
                       if max(abs(a - b) for a, b in zip(mean, colour)) < 40), None)
                 for mean in means]


def make_document(path, sizes=((595, 842, 0),), text="Invoice 2024-001", bookmarks=False,
                  **save_options):  # (width, height, rotation) per page, a text line across each
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
    image = Image.new("RGB", size, "white")
    ImageDraw.Draw(image).ellipse((8, 8, size[0] - 8, size[1] - 8), outline=(200, 0, 0), width=14)
    image.save(path, **({"dpi": dpi} if dpi else {}))
    return str(path)


def sign(path, out, signed=True):  # a signature field; `signed`: with a value PyMuPDF reports
    with fitz.open(path) as doc:
        widget = fitz.Widget()
        widget.field_type, widget.field_name = fitz.PDF_WIDGET_TYPE_SIGNATURE, "approval"
        widget.rect = fitz.Rect(50, 50, 200, 100)
        doc[0].add_widget(widget)
        if signed:
            signature = doc.get_new_xref()
            doc.update_object(signature, "<< /Type /Sig /Filter /Adobe.PPKLite /Contents <00> /ByteRange [0 0 0 0] >>")
            doc.xref_set_key(next(doc[0].widgets()).xref, "V", f"{signature} 0 R")
        doc.save(str(out))
    return str(out)


def render(page):
    pix = page.get_pixmap()
    return Image.frombytes("RGB", (pix.width, pix.height), pix.samples)
