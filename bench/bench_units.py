"""Calls per second of the unit functions and get_unique_filename against the
same functions written in plain Python, measured side by side."""

import os
import sys
import tempfile
import timeit
import types
from collections import deque
from itertools import starmap

sys.modules.setdefault("state", types.ModuleType("state"))
import pdf_module  # noqa: E402


def mm_to_pt(mm):
    return mm * 72 / 25.4


def format_mm_value(val: float) -> str:
    val = float(val)
    return str(int(val)) if val == int(val) else str(round(val, 2))


def scale_image_to_pdf(image_width_mm, image_height_mm, pdf_width_mm, pdf_height_mm):
    aspect_ratio = image_width_mm / image_height_mm
    if image_width_mm > pdf_width_mm or image_height_mm > pdf_height_mm:
        if image_width_mm / pdf_width_mm > image_height_mm / pdf_height_mm:
            image_width_mm = pdf_width_mm
            image_height_mm = pdf_width_mm / aspect_ratio
        else:
            image_height_mm = pdf_height_mm
            image_width_mm = pdf_height_mm * aspect_ratio
    return round(image_width_mm, 2), round(image_height_mm, 2)


def get_unique_filename(directory, base_name):
    base_path = os.path.join(directory, base_name)
    if not os.path.exists(base_path):
        return base_path
    i = 1
    while os.path.exists(os.path.join(directory, f"{base_name}_{i}.pdf")):
        i += 1
    return os.path.join(directory, f"{base_name}_{i}.pdf")


def rate(fn, args, number):
    """Best calls per second over several rounds; the calls are driven from C
    (map/starmap) so that loop overhead does not blur the comparison."""
    run = (lambda: deque(map(fn, args), maxlen=0)) if not isinstance(args[0], tuple) else (
        lambda: deque(starmap(fn, args), maxlen=0))
    best = min(timeit.repeat(run, number=number, repeat=7))
    return len(args) * number / best


def main():
    folder = tempfile.mkdtemp()
    for name in ["output.pdf", "output.pdf_1.pdf", "output.pdf_2.pdf"]:
        open(os.path.join(folder, name), "wb").close()
    cases = [
        ("mm_to_pt", [10, 12.5, 25.4, 210, 0.3] * 200, 200, 2.0),
        ("format_mm_value", [7, 12.345, 2.675, 30.0, 0.015] * 200, 50, 2.0),
        ("scale_image_to_pdf", [(300, 100, 210, 297), (100, 50, 210, 297), (100, 400, 210, 297)] * 200, 50, 2.0),
        ("get_unique_filename", [(folder, "output.pdf")] * 100, 20, 1.0),
    ]
    print(f"{'function':<22}{'C++ calls/s':>14}{'Python calls/s':>16}{'ratio':>8}{'target':>9}")
    for name, args, number, target in cases:
        ours = rate(getattr(pdf_module, name), args, number)
        plain = rate(globals()[name], args, number)
        ratio = ours / plain
        verdict = "ok" if ratio >= target else "MISSED"
        print(f"{name:<22}{ours:>14,.0f}{plain:>16,.0f}{ratio:>8.2f}{'>=' + format(target, '.1f'):>9} {verdict}")


if __name__ == "__main__":
    main()
