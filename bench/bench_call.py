"""The cost of one call as a host makes it: `f(10.0)` in Python code, for two
builtins, mm_to_pt and a plain-Python function of the same body. Each figure
is the minimum over interleaved timeit runs, so that a busy machine slows
all four alike; the ratio compares mm_to_pt with the plain-Python function."""

import math
import sys
import timeit
import types

sys.modules.setdefault("state", types.ModuleType("state"))
import pdf_module  # noqa: E402


def mm_to_pt(mm):
    return mm * 72 / 25.4


CALLABLES = [
    ("abs", abs),
    ("math.fabs", math.fabs),
    ("pdf_module.mm_to_pt", pdf_module.mm_to_pt),
    ("plain-Python mm_to_pt", mm_to_pt),
]
NUMBER = 50_000   # calls per run: short, so that some runs go uninterrupted
ROUNDS = 100      # runs of each callable, interleaved
TARGET = 2.0


def main():
    timers = [(name, timeit.Timer("f(10.0)", globals={"f": f})) for name, f in CALLABLES]
    best = dict.fromkeys([name for name, _ in CALLABLES], math.inf)
    for _ in range(ROUNDS):
        for name, timer in timers:
            best[name] = min(best[name], timer.timeit(NUMBER) / NUMBER * 1e9)
    print(f"{'f(10.0)':<24}{'ns per call':>12}")
    for name, _ in CALLABLES:
        print(f"{name:<24}{best[name]:>12.1f}")
    ratio = best["plain-Python mm_to_pt"] / best["pdf_module.mm_to_pt"]
    verdict = "ok" if ratio >= TARGET else "MISSED"
    print(f"plain-Python / pdf_module.mm_to_pt: {ratio:.2f} (target >={TARGET:.1f}) {verdict}")


if __name__ == "__main__":
    main()
