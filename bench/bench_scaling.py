"""process_pdf's own share, and how its time grows with the page count, on
generated A4 text documents with every page stamped.

1. SMALL pages: process_pdf against the same calls written in Python (the
   pages' set, doc[n], fitz.Rect, the DEBUG line, insert_image, the same save
   with garbage=4, clean=True, deflate=True, into the same folder), median
   of ROUNDS. Target: at most 1.05.
2. 1,000 and 4,000 pages: process_pdf and a bare PyMuPDF loop (insert_image
   on every page, the same save), and what 4,000 pages cost against 1,000,
   each also split into its stamping and its save (from the moment the save
   starts: for process_pdf that includes the naming). Target for
   process_pdf: at most 4.4.

Time is the side's processor time (time.process_time, which other work on a
shared machine changes far less than the time on the clock); each side runs
in a fresh interpreter, the sides taking turns."""

import json
import os
import statistics
import sys
import tempfile
import time
import types

import bench_process_pdf
from bench_process_pdf import make_pdf

SMALL, LARGE = 300, (1000, 4000)
ROUNDS, LARGE_ROUNDS = 5, 3
SHARE_TARGET, GROWTH_TARGET = 1.05, 4.4
GEOMETRY = ("10", "20", "30", "40")  # x, y, width, height in mm


def run_side(side, source, stamp, out, result_file):
    """One round of one side, in this (fresh) interpreter."""
    sys.modules.setdefault("state", types.ModuleType("state"))
    import fitz
    import pdf_module

    class Page:
        dialog = None
        def open(self, dialog): self.message = dialog.title.value
        def update(self): pass

    start = time.process_time()
    saving = None
    if side == "process_pdf":
        save = fitz.Document.save

        def timed_save(doc, *args, **options):  # when the module's save starts
            nonlocal saving
            saving = time.process_time()
            return save(doc, *args, **options)

        fitz.Document.save = timed_save
        pdf_module.process_pdf(source, stamp, out, *GEOMETRY, "", "1", Page())
    elif side == "same calls":
        doc = fitz.open(source)
        x, y, w, h = (float(v) * 72 / 25.4 for v in GEOMETRY)
        for number in set(range(len(doc))):
            page = doc[number]
            rect = fitz.Rect(x, y, x + w, y + h)
            print("DEBUG: Inserting image at " + str(rect) + " on page " + str(number + 1))
            page.insert_image(rect, filename=stamp)
        written = os.path.join(out, "output.pdf")
        doc.save(written, garbage=4, clean=True, deflate=True)
        doc.close()
        print("[INFO] PDF出力完了: " + written)
    else:  # bare
        doc = fitz.open(source)
        x, y, w, h = (float(v) * 72 / 25.4 for v in GEOMETRY)
        for page in doc:
            page.insert_image(fitz.Rect(x, y, x + w, y + h), filename=stamp)
        saving = time.process_time()
        doc.save(os.path.join(out, "output.pdf"), garbage=4, clean=True, deflate=True)
        doc.close()
    end = time.process_time()
    os.remove(os.path.join(out, "output.pdf"))
    with open(result_file, "w") as f:
        json.dump({"time": end - start, "save": None if saving is None else end - saving}, f)


def measure(side, source, stamp, folder):
    return bench_process_pdf.measure(side, source, stamp, folder, script=__file__)


def main():
    with tempfile.TemporaryDirectory() as folder:
        stamp = _stamp(folder)
        small = make_pdf(os.path.join(folder, f"{SMALL}.pdf"), SMALL, False)
        share = {"process_pdf": [], "same calls": []}
        for _ in range(ROUNDS):
            for side in share:
                share[side].append(measure(side, small, stamp, folder)["time"])
        large = {n: make_pdf(os.path.join(folder, f"{n}.pdf"), n, False) for n in LARGE}
        growth = {(side, n): [] for side in ("process_pdf", "bare") for n in LARGE}
        for _ in range(LARGE_ROUNDS):
            for side, n in growth:
                growth[side, n].append(measure(side, large[n], stamp, folder))

    ours, theirs = (statistics.median(share[s]) for s in ("process_pdf", "same calls"))
    verdict = lambda ok: "ok" if ok else "MISSED"
    print(f"{SMALL} pages, every page stamped, processor time, median of {ROUNDS}:")
    print(f"  process_pdf {ours:.3f} s, the same calls in Python {theirs:.3f} s: "
          f"{ours / theirs:.3f} (target <= {SHARE_TARGET:.2f}) {verdict(ours / theirs <= SHARE_TARGET)}")
    low, high = LARGE
    print(f"{low} and {high} pages, every page stamped, processor time, best of {LARGE_ROUNDS}:")
    for side in ("process_pdf", "bare"):
        a, b = (min(growth[side, n], key=lambda r: r["time"]) for n in LARGE)
        label = "process_pdf" if side == "process_pdf" else "bare PyMuPDF"
        target = f" (target <= {GROWTH_TARGET:.1f}) {verdict(b['time'] / a['time'] <= GROWTH_TARGET)}" \
            if side == "process_pdf" else ""
        print(f"  {label:<13}{a['time']:>7.2f} s {b['time']:>7.2f} s   {high} ÷ {low}: "
              f"{b['time'] / a['time']:.2f}{target}")
        if a["save"] is not None:
            for part, x, y in (("stamping", a["time"] - a["save"], b["time"] - b["save"]),
                               ("save", a["save"], b["save"])):
                print(f"    {part:<11}{x:>7.2f} s {y:>7.2f} s   {high} ÷ {low}: {y / x:.2f}")


def _stamp(folder):
    from PIL import Image, ImageDraw

    stamp = os.path.join(folder, "stamp.png")
    image = Image.new("RGBA", (400, 400), (0, 0, 0, 0))
    ImageDraw.Draw(image).ellipse((10, 10, 390, 390), outline=(200, 30, 30, 255), width=30)
    image.save(stamp, dpi=(300, 300))
    return stamp


if __name__ == "__main__":
    if len(sys.argv) > 1:
        run_side(*sys.argv[1:])
    else:
        main()
