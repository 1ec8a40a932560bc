"""The main job on a generated example: a six-page PDF (page 4 turned by 90
degrees, page 6 by 180) and a round stamp with a transparent background; pages
1 and 4 and every 3rd page are stamped 20 mm from the left and 30 mm from the
top, 40 x 40 mm, through the pdf-stamp command.

Run as `python -m pdf_stamp.demo [FOLDER]` (default: out/demo)."""

import os
import sys

import fitz
from PIL import Image, ImageDraw

from pdf_stamp import cli
from pdf_stamp.exceptions import ExitCode
from pdf_stamp.i18n import _

PAGES = 6
ROTATIONS = {4: 90, 6: 180}  # page number -> rotation
ARGS = ["-x", "20", "-y", "30", "--width", "40", "--height", "40", "--pages", "1,4", "--every", "3"]


def make_sample_pdf(path):
    doc = fitz.open()
    for number in range(1, PAGES + 1):
        page = doc.new_page(width=595, height=842)  # A4
        page.set_rotation(ROTATIONS.get(number, 0))
        # Text and frame in displayed coordinates, so every page reads upright.
        derotate = page.derotation_matrix
        shown = page.rect
        frame = fitz.Rect(28.35, 28.35, shown.width - 28.35, shown.height - 28.35)
        page.draw_rect(frame * derotate, color=(0.6, 0.6, 0.6), width=1)
        label = f"Sample page {number}"
        if number in ROTATIONS:
            label += f" (rotated {ROTATIONS[number]} degrees)"
        page.insert_text(fitz.Point(60, shown.height / 2) * derotate, label,
                         fontsize=24, rotate=page.rotation)
    doc.save(path)
    doc.close()


def make_stamp(path):
    size = 400
    image = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    red = (200, 30, 30, 255)
    draw.ellipse((10, 10, size - 10, size - 10), outline=red, width=24)
    draw.ellipse((70, 70, size - 70, size - 70), outline=red, width=10)
    draw.line((120, 210, 180, 270), fill=red, width=28)
    draw.line((172, 272, 290, 130), fill=red, width=28)
    image.save(path, dpi=(300, 300))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    folder = os.path.abspath(argv[0] if argv else os.path.join("out", "demo"))
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "sample.pdf")
    stamp = os.path.join(folder, "stamp.png")
    make_sample_pdf(source)
    make_stamp(stamp)
    command = [source, stamp, *ARGS, "--output-dir", folder]
    before = set(os.listdir(folder))
    print("pdf-stamp " + " ".join(command), flush=True)
    status = cli.main(command)
    if status == ExitCode.ok:
        (written,) = set(os.listdir(folder)) - before
        print("\n" + _("Stamped pages 1, 3, 4 and 6 of {source}.").format(source=source))
        print(_("Result: {path}").format(path=os.path.join(folder, written)))
    return status


if __name__ == "__main__":
    sys.exit(main())
