"""Several marks in one run against one run per mark, and drawing a date seal.

The workload is bench_cli's: DOCUMENTS generated PDFs of 50 pages. Three
marks (an image at the bottom-right, a date seal at the top-right, a tilted
name seal at the bottom-left, every page) are stamped two ways, each a fresh
`pdf-stamp --jobs 1` timed from interpreter start to end, ROUNDS times:
  - one run with a marks file;
  - three runs, each stamping one mark onto the previous run's results.
Both end with the same documents, each mark verified. Then a date seal is
drawn SEALS times with a new date each time (goal: under 50 ms), after one
cold drawing that loads the font."""

import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import bench_cli
from bench_cli import DOCUMENTS, PAGES

ROUNDS = 3
SEALS = 30
DATE_SEAL = ["--seal-top", "経理部", "--seal-bottom", "山田", "--date", "2026-12-07"]
MARKS = """\
[[mark]]
image = "stamp.png"
pages = "all"
anchor = "bottom-right"
width = 30

[[mark]]
date_seal = { top = "経理部", bottom = "山田", date = 2026-12-07 }
pages = "all"
anchor = "top-right"

[[mark]]
name_seal = "佐藤"
pages = "all"
anchor = "bottom-left"
rotate = 8
"""
SINGLE = [  # the same marks as three runs: (what follows the PDFs, suffix of the results)
    (["stamp.png", "--anchor", "bottom-right", "--width", "30"], "_a"),
    (["--date-seal", *DATE_SEAL, "--anchor", "top-right"], "_b"),
    (["--name-seal", "佐藤", "--anchor", "bottom-left", "--rotate", "8"], "_c"),
]


def pdf_stamp(folder, *args):
    """Wall and CPU seconds of one pdf-stamp process."""
    command = [os.path.join(os.path.dirname(sys.executable), "pdf-stamp"), *args,
               "--jobs", "1"]
    start, cpu = time.perf_counter(), _children_cpu()
    result = subprocess.run(command, cwd=folder, capture_output=True, text=True)
    if result.returncode:
        raise SystemExit(f"{' '.join(command)} failed:\n{result.stdout}\n{result.stderr}")
    return time.perf_counter() - start, _children_cpu() - cpu


def _children_cpu():
    times = os.times()
    return times.children_user + times.children_system


def marks_run(folder, sources):
    out = tempfile.mkdtemp(dir=folder)
    wall, cpu = pdf_stamp(folder, sources, "--marks", "marks.toml", "-o", out)
    assert len(os.listdir(out)) == DOCUMENTS
    shutil.rmtree(out)
    return wall, cpu


def single_runs(folder, sources):
    total, source = [0.0, 0.0], [sources]
    outs = []
    for options, suffix in SINGLE:
        outs.append(tempfile.mkdtemp(dir=folder))
        wall, cpu = pdf_stamp(folder, *source, *options, "--pages", "all", "-o", outs[-1],
                              "--suffix", suffix)
        total = [total[0] + wall, total[1] + cpu]
        # named one by one: a folder scan skips results, which carry the result mark
        source = sorted(os.path.join(outs[-1], name) for name in os.listdir(outs[-1]))
    assert len(os.listdir(outs[-1])) == DOCUMENTS
    for out in outs:
        shutil.rmtree(out)
    return tuple(total)


def seal_times():
    """(cold, [warm]) seconds to draw a date seal to a PNG."""
    from pdf_stamp import sealdraw

    day = datetime.date(2026, 12, 7)
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        sealdraw.render(sealdraw.DateSeal("経理部", "山田", day), os.path.join(folder, "cold.png"))
        cold = time.perf_counter() - start
        warm = []
        for n in range(SEALS):
            seal = sealdraw.DateSeal("経理部", "山田", day + datetime.timedelta(days=n * 37 + 1),
                                     sealdraw.STYLES[n % len(sealdraw.STYLES)])
            start = time.perf_counter()
            sealdraw.render(seal, os.path.join(folder, f"{n}.png"))
            warm.append(time.perf_counter() - start)
    return cold, warm


def main():
    with tempfile.TemporaryDirectory() as folder:
        sources, _stamp = bench_cli.make_inputs(folder)  # writes folder/stamp.png
        with open(os.path.join(folder, "marks.toml"), "w", encoding="utf-8") as file:
            file.write(MARKS)
        one, three = [], []
        for _ in range(ROUNDS):
            one.append(marks_run(folder, sources))
            three.append(single_runs(folder, sources))
    best_one = [min(r[i] for r in one) for i in (0, 1)]
    best_three = [min(r[i] for r in three) for i in (0, 1)]
    print(f"three marks on every page of {DOCUMENTS} documents of {PAGES} pages, --jobs 1, "
          f"from interpreter start to end, best of {ROUNDS} rounds")
    print(f"{'side':<34}{'wall':>9}{'CPU':>9}")
    print(f"{'one run with a marks file':<34}{best_one[0]:>7.2f} s{best_one[1]:>7.2f} s")
    print(f"{'three runs, one mark each':<34}{best_three[0]:>7.2f} s{best_three[1]:>7.2f} s")
    print(f"marks run / three runs: {best_one[0] / best_three[0]:.3f} wall, "
          f"{best_one[1] / best_three[1]:.3f} CPU")
    cold, warm = seal_times()
    median = statistics.median(warm)
    print(f"date seal drawn to a 600 dpi PNG: cold {cold * 1000:.0f} ms (font and PyMuPDF loaded), "
          f"warm median {median * 1000:.1f} ms, best {min(warm) * 1000:.1f} ms over {SEALS} "
          f"(goal < 50 ms) {'ok' if median < 0.05 else 'MISSED'}; load average "
          f"{os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
