"""Start-up and a short job, each side a fresh interpreter timed on the clock
from its start to its end, the sides taking turns, best of ROUNDS.

1. Start-up: importing each host (the command line, the module as the command
   loads it and as a window loads it, the desktop window), beside an empty
   interpreter and `import fitz` alone.
2. The scanned job: PAGES pages scanned at 200 dpi (one JPEG each), every page
   stamped. `pdf-stamp` (checks and verification included) and process_pdf
   alone, beside bare PyMuPDF making the same calls (insert_image on every
   page, the same save), and qpdf or pikepdf overlaying the stamp when they
   are installed (they are not dependencies of the package).
Target: `pdf-stamp` within 0.45 s, `import pdf_stamp.cli` within 0.3 s."""

import io
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ROUNDS = 5
PAGES = 20
TARGETS = {"import pdf_stamp.cli": 0.30, "pdf-stamp": 0.45}
STAMP_MM = (150, 250, 40, 40)  # x, y, width, height

IMPORTS = {
    "python -c pass": "pass",
    "import fitz": "import fitz",
    "import pdf_stamp.cli": "import pdf_stamp.cli",
    "module, headless host": "from pdf_stamp import host; host.load_module(headless=True)",
    "module, flet host": "from pdf_stamp import host; host.load_module()",
    "desktop window": "import pdf_stamp.window.app",
}

BARE = """
import sys, fitz
source, stamp, out = sys.argv[1:4]
x, y, w, h = (float(v) * 72 / 25.4 for v in sys.argv[4:8])
doc = fitz.open(source)
for page in doc:
    page.insert_image(fitz.Rect(x, y, x + w, y + h), filename=stamp)
doc.save(out, garbage=4, clean=True, deflate=True)
"""
MODULE = """
import sys
from pdf_stamp import host
pdf_module = host.load_module(headless=True)
page = host.CollectingPage()
source, stamp, out = sys.argv[1:4]
with host.module_output():
    pdf_module.process_pdf(source, stamp, out, *sys.argv[4:8], "", "1", page)
assert page.written, page.messages
"""
PIKEPDF = """
import sys, pikepdf
source, stamp_pdf, out = sys.argv[1:4]
x, y, w, h = (float(v) * 72 / 25.4 for v in sys.argv[4:8])
with pikepdf.open(source) as pdf, pikepdf.open(stamp_pdf) as stamp:
    for page in pdf.pages:
        top = float(page.mediabox[3])
        page.add_overlay(stamp.pages[0], pikepdf.Rectangle(x, top - y - h, x + w, top - y))
    pdf.save(out)
"""


def make_scan(folder):
    import fitz
    from PIL import Image, ImageDraw

    doc = fitz.open()
    for number in range(PAGES):
        scan = Image.new("L", (1654, 2339), 245)  # A4 at 200 dpi
        draw = ImageDraw.Draw(scan)
        for line in range(60):  # lines of "text"
            top, left = 150 + line * 35, 150 + (number * 37 + line * 11) % 40
            while left < 1450:
                width = 12 + (left * 7 + line * 13) % 48
                draw.rectangle((left, top, left + width, top + 18), fill=30 + (left % 50))
                left += width + 8 + (left % 13)
        jpeg = io.BytesIO()
        scan.convert("RGB").save(jpeg, "JPEG", quality=75, dpi=(200, 200))
        page = doc.new_page(width=595.28, height=841.89)
        page.insert_image(page.rect, stream=jpeg.getvalue())
    source = os.path.join(folder, "scan.pdf")
    doc.save(source, garbage=4, deflate=True)
    stamp = os.path.join(folder, "stamp.png")
    seal = Image.new("RGBA", (400, 400), (0, 0, 0, 0))
    ImageDraw.Draw(seal).ellipse((10, 10, 390, 390), outline=(200, 30, 30, 255), width=30)
    seal.save(stamp, dpi=(300, 300))
    stamp_pdf = os.path.join(folder, "stamp.pdf")  # the overlay for qpdf and pikepdf
    with fitz.open() as overlay:
        overlay.new_page(width=100, height=100).insert_image(fitz.Rect(0, 0, 100, 100), filename=stamp)
        overlay.save(stamp_pdf, deflate=True)
    return source, stamp, stamp_pdf


def job_sides(source, stamp, stamp_pdf, out):
    mm = [str(v) for v in STAMP_MM]
    x, y, w, h = (v * 72 / 25.4 for v in STAMP_MM)
    sides = {
        "pdf-stamp": [sys.executable, "-m", "pdf_stamp.cli", source, stamp, "-x", mm[0], "-y", mm[1],
                      "--width", mm[2], "--height", mm[3], "--pages", "all", "-o", out],
        "process_pdf": [sys.executable, "-c", MODULE, source, stamp, out, *mm],
        "bare PyMuPDF": [sys.executable, "-c", BARE, source, stamp, os.path.join(out, "bare.pdf"), *mm],
    }
    qpdf = shutil.which("qpdf")
    if qpdf:
        sides["qpdf --overlay"] = [qpdf, source, "--overlay", stamp_pdf, "--repeat=1", "--",
                                   os.path.join(out, "qpdf.pdf")]
    try:
        import pikepdf  # noqa: F401
        sides["pikepdf add_overlay"] = [sys.executable, "-c", PIKEPDF, source, stamp_pdf,
                                        os.path.join(out, "pikepdf.pdf"), *mm]
    except ImportError:
        pass
    return sides


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def clock(argv, out):
    """(wall, CPU) of one run."""
    start, cpu = time.perf_counter(), _children_cpu()
    result = subprocess.run(argv, capture_output=True, text=True,
                            env=dict(os.environ, PYMUPDF_MESSAGE="path:" + os.devnull))
    elapsed, cpu = time.perf_counter() - start, _children_cpu() - cpu
    if result.returncode:
        raise SystemExit(f"{argv[:3]} failed:\n{result.stdout}\n{result.stderr}")
    for name in os.listdir(out):
        os.remove(os.path.join(out, name))
    return elapsed, cpu


def main():
    imports = {label: [sys.executable, "-c", code] for label, code in IMPORTS.items()}
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "out")
        os.mkdir(out)
        jobs = job_sides(*make_scan(folder), out)
        times = {label: [] for label in [*imports, *jobs]}
        for _ in range(ROUNDS):
            for label, argv in [*imports.items(), *jobs.items()]:
                times[label].append(clock(argv, out))
    best = {label: min(t) for label, t in times.items()}  # the round with the least wall time

    def row(label, reference):
        wall, cpu = best[label]
        target = TARGETS.get(label)
        verdict = "" if target is None else \
            f"  (target <= {target:.2f} s) {'ok' if wall <= target else 'MISSED'}"
        ratio = f"{wall / best[reference][0]:>7.2f} x" if reference else " " * 9
        print(f"  {label:<24}{wall:>7.3f} s{cpu:>8.3f} s{ratio}{verdict}")

    print(f"start-up: a fresh interpreter importing each host, best of {ROUNDS} "
          f"(wall, CPU, wall ÷ import fitz)")
    for label in imports:
        row(label, None if label == "python -c pass" else "import fitz")
    print(f"{PAGES} scanned pages (200 dpi JPEG), every page stamped: a fresh interpreter "
          f"from start to end, best of {ROUNDS} (wall, CPU, wall ÷ bare PyMuPDF)")
    for label in jobs:
        row(label, None if label == "bare PyMuPDF" else "bare PyMuPDF")
    print(f"load average at the end: {os.getloadavg()[0]:.2f} (other work on the machine "
          f"slows the times on the clock)")


if __name__ == "__main__":
    main()
