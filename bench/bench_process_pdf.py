"""process_pdf on a generated 1,000-page PDF, stamping every page, against a
bare PyMuPDF loop that makes the same insert_image calls and the same save.

Each side runs in a fresh interpreter with the same imports (pdf_module with
its libraries), the two sides taking turns, ROUNDS times each. Time is the job
alone (best round); memory is the process's peak resident set (ru_maxrss,
which counts MuPDF's C allocations too), also shown above the level reached
after the imports; size is the output file's size."""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import types

PAGES = 1000
ROUNDS = 3
TARGETS = {"time": 1.05, "peak memory": 1.05, "output size": 1.01}
GEOMETRY = (10, 20, 30, 40)  # x, y, width, height in millimetres


def make_inputs(folder):
    import fitz
    from PIL import Image, ImageDraw

    source = os.path.join(folder, "source.pdf")
    doc = fitz.open()
    for i in range(PAGES):
        page = doc.new_page(width=595, height=842)
        page.insert_text((72, 100), f"Page {i + 1} of a generated document", fontsize=14)
        page.draw_rect(fitz.Rect(60, 60, 535, 782), color=(0.5, 0.5, 0.5))
    doc.save(source, garbage=4, deflate=True)
    doc.close()
    stamp = os.path.join(folder, "stamp.png")
    image = Image.new("RGBA", (400, 400), (0, 0, 0, 0))
    ImageDraw.Draw(image).ellipse((10, 10, 390, 390), outline=(200, 30, 30, 255), width=30)
    image.save(stamp, dpi=(300, 300))
    return source, stamp


class SilentPage:
    def __init__(self):
        self.messages = []

    def open(self, dialog):
        self.messages.append(dialog.title.value)

    def update(self):
        pass


def run_side(side, source, stamp, out, result_file):
    """One round of one side, in this (fresh) interpreter."""
    sys.modules.setdefault("state", types.ModuleType("state"))
    import fitz
    import pdf_module

    after_imports = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    if side == "process_pdf":
        page = SilentPage()
        pdf_module.process_pdf(source, stamp, out, *map(str, GEOMETRY), "", "1", page)
        [message] = page.messages
        written = message.split(": ", 1)[1]
    else:
        x, y, w, h = (v * 72 / 25.4 for v in GEOMETRY)
        doc = fitz.open(source)
        for number in range(len(doc)):
            doc[number].insert_image(fitz.Rect(x, y, x + w, y + h), filename=stamp)
        written = os.path.join(out, "bare.pdf")
        doc.save(written, garbage=4, clean=True)
        doc.close()
    elapsed = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with open(result_file, "w") as f:
        json.dump({"time": elapsed, "peak": peak, "after_imports": after_imports,
                   "size": os.path.getsize(written)}, f)
    os.remove(written)


def measure(side, source, stamp, folder):
    out = tempfile.mkdtemp(dir=folder)
    result_file = os.path.join(folder, f"{side}.json")
    subprocess.run([sys.executable, __file__, side, source, stamp, out, result_file],
                   check=True, stdout=subprocess.DEVNULL)
    with open(result_file) as f:
        return json.load(f)


def main():
    with tempfile.TemporaryDirectory() as folder:
        source, stamp = make_inputs(folder)
        results = {"process_pdf": [], "bare": []}
        for _ in range(ROUNDS):
            for side in results:
                results[side].append(measure(side, source, stamp, folder))

    def best(side, key):
        return min(r[key] for r in results[side])

    ours = {"time": best("process_pdf", "time"), "peak memory": best("process_pdf", "peak"),
            "output size": best("process_pdf", "size")}
    bare = {"time": best("bare", "time"), "peak memory": best("bare", "peak"),
            "output size": best("bare", "size")}
    units = {"time": "s", "peak memory": "MiB", "output size": "KiB"}
    scale = {"time": 1, "peak memory": 1 / 1024, "output size": 1 / 1024}
    print(f"{PAGES} pages, every page stamped, best of {ROUNDS} rounds per side")
    print(f"{'measure':<14}{'process_pdf':>14}{'bare PyMuPDF':>14}{'ratio':>8}{'target':>9}")
    for key in ours:
        ratio = ours[key] / bare[key]
        verdict = "ok" if ratio <= TARGETS[key] else "MISSED"
        a, b = ours[key] * scale[key], bare[key] * scale[key]
        print(f"{key:<14}{a:>11.2f} {units[key]:<3}{b:>10.2f} {units[key]:<3}{ratio:>8.3f}"
              f"{'<=' + format(TARGETS[key], '.2f'):>9} {verdict}")
    above = {side: best(side, "peak") - min(r["after_imports"] for r in results[side])
             for side in results}
    print(f"{'  above imports':<14}{above['process_pdf'] / 1024:>11.2f} MiB"
          f"{above['bare'] / 1024:>10.2f} MiB{above['process_pdf'] / above['bare']:>8.3f}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        run_side(*sys.argv[1:])
    else:
        main()
