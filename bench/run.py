"""Runs every benchmark in this folder (or those named on the command line,
e.g. `run.py units`), each in its own interpreter, and prints their tables."""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(names):
    scripts = sorted(HERE.glob("bench_*.py"))
    if names:
        scripts = [s for s in scripts if any(n in s.stem for n in names)]
    failed = 0
    for script in scripts:
        print(f"== {script.stem}", flush=True)
        failed |= subprocess.call([sys.executable, str(script)], cwd=HERE) != 0
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
