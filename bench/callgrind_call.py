"""Instructions per call of `f(10.0)`, counted by valgrind's callgrind, for the
callables of bench_call.py: a figure that, unlike time, does not move with
the machine's load. Each callable runs in two interpreters under callgrind,
with 100,000 and 1,100,000 calls; the difference divided by a million is the
cost of one call, start-up cancelled out. Not run by run.py (it takes a few
minutes); run it by hand: `python bench/callgrind_call.py`."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from bench_call import CALLABLES

SHORT, LONG = 100_000, 1_100_000

CHILD = """
import sys, timeit
sys.path.insert(0, {here!r})
import bench_call
f = dict(bench_call.CALLABLES)[sys.argv[1]]
timeit.Timer("f(10.0)", globals={{"f": f}}).timeit(int(sys.argv[2]))
"""


def instructions(name, calls):
    with tempfile.TemporaryDirectory() as folder:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={folder}/out",
             sys.executable, "-c", CHILD.format(here=os.path.dirname(os.path.abspath(__file__))),
             name, str(calls)],
            capture_output=True, text=True, check=True,
            env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"refs:\s+([\d,]+)", result.stderr).group(1).replace(",", ""))


def main():
    if shutil.which("valgrind") is None:
        print("callgrind_call: valgrind is not installed")
        return 1
    per_call = {name: (instructions(name, LONG) - instructions(name, SHORT)) / (LONG - SHORT)
                for name, _ in CALLABLES}
    print(f"{'f(10.0)':<24}{'instructions per call':>22}")
    for name, _ in CALLABLES:
        print(f"{name:<24}{per_call[name]:>22.0f}")
    ratio = per_call["plain-Python mm_to_pt"] / per_call["pdf_module.mm_to_pt"]
    print(f"plain-Python / pdf_module.mm_to_pt: {ratio:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
