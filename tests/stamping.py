"""Helpers for the stamping tests: generated PDFs and stamp images, calling
process_pdf with field texts, and finding a stamp on a rendered page."""

import fitz
from PIL import Image, ImageChops

import pdf_module

# The stamp's four quadrants, so that a turned or mirrored stamp is told apart.
QUADRANTS = {"top_left": (255, 0, 0), "top_right": (0, 160, 0),
             "bottom_left": (0, 0, 255), "bottom_right": (255, 200, 0)}

# The geometry used by most tests: x 10 mm, y 20 mm, 30 x 40 mm.
GEOMETRY = ("10", "20", "30", "40")
EXPECTED_RECT = (28.34645669291339, 56.69291338582678, 113.38582677165356, 170.07874015748033)


def make_stamp(path, size=(60, 80), mode="RGB"):
    """A stamp image whose quadrants have the colours of QUADRANTS."""
    w, h = size
    image = Image.new(mode, size)
    for (name, colour), box in zip(QUADRANTS.items(), [(0, 0, w // 2, h // 2),
                                                       (w // 2, 0, w, h // 2),
                                                       (0, h // 2, w // 2, h),
                                                       (w // 2, h // 2, w, h)]):
        image.paste(colour + ((255,) if mode == "RGBA" else ()), box)
    image.save(path)
    return str(path)


def make_pdf(path, pages=1, *, size=(595, 842), rotations=None, cropbox=None):
    """A PDF with `pages` pages of `size` points, each showing its number;
    `rotations` maps page indices to /Rotate values."""
    doc = fitz.open()
    for i in range(pages):
        page = doc.new_page(width=size[0], height=size[1])
        page.insert_text((300, 400), f"page {i + 1}", fontsize=30)
        if cropbox:
            page.set_cropbox(fitz.Rect(cropbox))
        page.set_rotation((rotations or {}).get(i, 0))
    doc.save(str(path))
    doc.close()
    return str(path)


def mm_rect(x, y, width, height):
    """The rectangle in points for a position and size in millimetres."""
    x, y, width, height = (float(v) * 72 / 25.4 for v in (x, y, width, height))
    return fitz.Rect(x, y, x + width, y + height)


def run(page, pdf, image, out, *, geometry=GEOMETRY, pages="", interval=""):
    """process_pdf with the texts the host's fields would hold."""
    x, y, width, height = geometry
    return pdf_module.process_pdf(pdf, image, out, x, y, width, height, pages, interval, page)


def stamped_pages(path):
    """{page number from 1: [placement rectangles of images]} of a PDF."""
    with fitz.open(path) as doc:
        return {i + 1: [fitz.Rect(info["bbox"]) for info in page.get_image_info()]
                for i, page in enumerate(doc)}


def render(page):
    """The page as displayed, at 72 dpi, as a Pillow image."""
    pix = page.get_pixmap(alpha=False)
    return Image.frombytes("RGB", (pix.width, pix.height), pix.samples)


def changed_box(before, after):
    """Bounding box (pixels) of what differs between two renders, or None."""
    return ImageChops.difference(before, after).getbbox()


def quadrant_colours(image, box):
    """Names of the QUADRANTS colours found at the centres of the four
    quadrants of `box`, in the order top-left, top-right, bottom-left,
    bottom-right (None where no stamp colour is there)."""
    x0, y0, x1, y1 = box
    names = []
    for fx, fy in ((0.25, 0.25), (0.75, 0.25), (0.25, 0.75), (0.75, 0.75)):
        pixel = image.getpixel((int(x0 + fx * (x1 - x0)), int(y0 + fy * (y1 - y0))))
        near = [n for n, c in QUADRANTS.items() if max(abs(a - b) for a, b in zip(pixel, c)) < 40]
        names.append(near[0] if near else None)
    return names


UPRIGHT = list(QUADRANTS)


def assert_close(box, rect, tolerance=1.5):
    assert box is not None, "no stamp found"
    assert all(abs(a - b) <= tolerance for a, b in zip(box, tuple(rect))), (box, rect)
