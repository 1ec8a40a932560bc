"""process_pdf on generated A4 text documents, every page stamped.

1. 1,000 pages, each with its own resources: process_pdf against a bare
   PyMuPDF loop that makes the same insert_image calls and the same save
   (garbage=4, clean=True, deflate=True). Time is the job's processor time
   (time.process_time: the other work on a shared machine changes it far less
   than the time on the clock, and the job waits for nothing), memory the
   process's peak resident set (ru_maxrss, which counts MuPDF's C allocations
   too), also shown above the level reached after the imports; size is the
   output file's, also shown against the source file's.
2. What the compression costs: the bare loop's save with and without deflate.
3. 500 pages whose pages all share one /Resources object (as PyMuPDF writes
   them when it saves with garbage=3 and without clean) against the same
   pages with their own resources, both through process_pdf. Stamping used
   to slow down with the square of the page count on the shared ones.

Each side runs in a fresh interpreter with the same imports (pdf_module with
its libraries), the sides taking turns, ROUNDS times each; the best round of
each side counts."""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import types

PAGES = 1000
SHARED_PAGES = 500
ROUNDS = 5
TARGETS = {"time": 1.05, "peak memory": 1.05, "output size": 1.01}
SHARED_TARGET = 1.5  # shared ÷ own resources, time (the slow-down was 15x at 500 pages)
GEOMETRY = (10, 20, 30, 40)  # x, y, width, height in millimetres
LINES = "\n".join(f"Line {n}: the quick brown fox jumps over the lazy dog, {n * 7919 % 1000} times"
                  for n in range(1, 41))  # a page of text


def make_pdf(path, pages, shared):
    import fitz

    doc = fitz.open()
    for i in range(pages):
        page = doc.new_page(width=595, height=842)
        page.insert_text((72, 100), f"Page {i + 1} of a generated document", fontsize=14)
        page.insert_text((72, 130), LINES, fontsize=10)
        page.draw_rect(fitz.Rect(60, 60, 535, 782), color=(0.5, 0.5, 0.5))
    if shared:  # identical resources merged into one object that every page refers to
        doc.save(path, garbage=3, deflate=True)
    else:  # cleaning writes each page's resources into the page itself
        doc.save(path, garbage=4, clean=True, deflate=True)
    doc.close()
    doc = fitz.open(path)
    kinds = {doc.xref_get_key(page.xref, "Resources")[0] for page in doc}
    refs = {doc.xref_get_key(page.xref, "Resources")[1] for page in doc}
    assert kinds == {"xref"} and len(refs) == 1 if shared else kinds == {"dict"}, (kinds, path)
    doc.close()
    return path


def make_inputs(folder):
    from PIL import Image, ImageDraw

    stamp = os.path.join(folder, "stamp.png")
    image = Image.new("RGBA", (400, 400), (0, 0, 0, 0))
    ImageDraw.Draw(image).ellipse((10, 10, 390, 390), outline=(200, 30, 30, 255), width=30)
    image.save(stamp, dpi=(300, 300))
    return {"source": make_pdf(os.path.join(folder, "source.pdf"), PAGES, False),
            "own": make_pdf(os.path.join(folder, "own.pdf"), SHARED_PAGES, False),
            "shared": make_pdf(os.path.join(folder, "shared.pdf"), SHARED_PAGES, True),
            "stamp": stamp}


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
    start = time.process_time()
    save_time = None
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
        saving = time.process_time()
        doc.save(written, garbage=4, clean=True, deflate=side == "bare")
        save_time = time.process_time() - saving
        doc.close()
    elapsed = time.process_time() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with open(result_file, "w") as f:
        json.dump({"time": elapsed, "save": save_time, "peak": peak,
                   "after_imports": after_imports, "size": os.path.getsize(written)}, f)
    os.remove(written)


def measure(side, source, stamp, folder, script=__file__):
    """Runs `side` of `script` in a fresh interpreter; returns what it recorded."""
    out = tempfile.mkdtemp(dir=folder)
    result_file = os.path.join(folder, "result.json")
    subprocess.run([sys.executable, script, side, source, stamp, out, result_file],
                   check=True, stdout=subprocess.DEVNULL)
    with open(result_file) as f:
        return json.load(f)


def main():
    # side name: (what runs, which input)
    sides = {"process_pdf": ("process_pdf", "source"), "bare": ("bare", "source"),
             "bare, no deflate": ("bare without deflate", "source"),
             "shared": ("process_pdf", "shared"), "own": ("process_pdf", "own")}
    with tempfile.TemporaryDirectory() as folder:
        inputs = make_inputs(folder)
        source_size = os.path.getsize(inputs["source"])
        results = {side: [] for side in sides}
        for _ in range(ROUNDS):
            for side, (what, pdf) in sides.items():
                results[side].append(measure(what, inputs[pdf], inputs["stamp"], folder))

    def best(side, key):
        return min(r[key] for r in results[side])

    print(f"{PAGES} pages, every page stamped, best of {ROUNDS} rounds per side")
    print(f"{'measure':<14}{'process_pdf':>14}{'bare PyMuPDF':>14}{'ratio':>8}{'target':>9}")
    units = {"time": "s", "peak memory": "MiB", "output size": "KiB"}
    scale = {"time": 1, "peak memory": 1 / 1024, "output size": 1 / 1024}
    for key, field in (("time", "time"), ("peak memory", "peak"), ("output size", "size")):
        ours, bare = best("process_pdf", field), best("bare", field)
        ratio = ours / bare
        verdict = "ok" if ratio <= TARGETS[key] else "MISSED"
        a, b = ours * scale[key], bare * scale[key]
        print(f"{key:<14}{a:>11.2f} {units[key]:<3}{b:>10.2f} {units[key]:<3}{ratio:>8.3f}"
              f"{'<=' + format(TARGETS[key], '.2f'):>9} {verdict}")
    above = {side: best(side, "peak") - min(r["after_imports"] for r in results[side])
             for side in ("process_pdf", "bare")}
    print(f"{'  above imports':<14}{above['process_pdf'] / 1024:>11.2f} MiB"
          f"{above['bare'] / 1024:>10.2f} MiB{above['process_pdf'] / above['bare']:>8.3f}")
    print(f"{'  ÷ source':<14}{best('process_pdf', 'size') / source_size:>11.2f} x  "
          f"{best('bare', 'size') / source_size:>10.2f} x   (source {source_size / 1024:.2f} KiB)")

    deflated, plain = best("bare", "save"), best("bare, no deflate", "save")
    print(f"compression (bare save, {PAGES} stamped pages): {deflated:.2f} s with deflate, "
          f"{plain:.2f} s without (+{deflated - plain:.2f} s, {deflated / plain:.2f}x); "
          f"file {best('bare', 'size') / 1024:.0f} KiB instead of "
          f"{best('bare, no deflate', 'size') / 1024:.0f} KiB")

    shared, own = best("shared", "time"), best("own", "time")
    ratio = shared / own
    verdict = "ok" if ratio <= SHARED_TARGET else "MISSED"
    print(f"{SHARED_PAGES} pages, process_pdf time: shared /Resources {shared:.2f} s, "
          f"own {own:.2f} s, ratio {ratio:.3f} (target <={SHARED_TARGET:.2f}) {verdict}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        run_side(*sys.argv[1:])
    else:
        main()
