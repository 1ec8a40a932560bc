"""Fuzz run: hostile hosts against pdf_module, meant for the sanitizer build
(`make fuzz`), for FUZZ_SECONDS seconds (default 120).

The targets of targets.py take turns in rounds until the time is up; each
round is one hypothesis run of FUZZ_EXAMPLES calls (default 40) followed by
a block-count check that replays the round's last calls. With CI=true the
first round is derandomised and round r after it uses seed r; FUZZ_SEED=n
repeats a run (round r uses seed n + r). FUZZ_TARGETS=a,b limits the
targets; FUZZ_TRACE=1 names every call before it runs (to find the one that
takes the process down). Exit status 1, with the shrunk failing calls
printed, when a rule broke."""

import gc
import os
import sys
import tempfile
import time
import types
import warnings

sys.modules.setdefault("state", types.ModuleType("state"))
with warnings.catch_warnings():   # off 3.12 the module warns at import
    warnings.simplefilter("ignore", RuntimeWarning)
    import pdf_module  # noqa: E402

from hypothesis import HealthCheck, Phase, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import hostile  # noqa: E402
import targets  # noqa: E402

CI = os.environ.get("CI") == "true"
SECONDS = float(os.environ.get("FUZZ_SECONDS", "120"))
EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "40"))
TRACE = os.environ.get("FUZZ_TRACE") == "1"


def trace(text):
    if TRACE:
        print(f"[fuzz] {text}", file=sys.__stderr__, flush=True)


def make_test(name, recent, tally, rounds):
    @given(st.data())
    def body(data):
        call = targets.TARGETS[name](data)
        trace(f"{name}: {call.function}")
        problems = call.judge(call.run())
        tally[0] += 1
        if problems:
            raise AssertionError("\n".join(problems))
        recent.append(call)
        del recent[:-4]

    test = settings(max_examples=EXAMPLES, derandomize=CI, database=None, deadline=None,
                    phases=[Phase.generate, Phase.shrink], print_blob=True,
                    suppress_health_check=list(HealthCheck))(body)
    if os.environ.get("FUZZ_SEED"):
        return seed(int(os.environ["FUZZ_SEED"]) + rounds)(test)
    return seed(rounds)(test) if CI and rounds > 0 else test


def blocks_grown(calls, count, slack):
    """None when replaying `calls` `count` times keeps the allocated block
    count within `slack` in one of three tries (caches that fill once are
    tolerated); else how much it grew."""
    def replay():
        for call in calls:
            call.run()
    replay()
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(count):
            replay()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        if grown <= slack:
            return None
    return grown


def main():
    started = time.monotonic()
    sanitized = "asan-site" in (pdf_module.__file__ or "")
    print(f"[fuzz] pdf_module from {pdf_module.__file__}"
          f"{'' if sanitized else ' (not the sanitizer build)'}; Python "
          f"{'%d.%d' % sys.version_info[:2]}, {SECONDS:.0f} s, "
          f"{'derandomised (CI)' if CI else 'random'}", flush=True)
    work = tempfile.mkdtemp(prefix="pdf-module-fuzz-")
    os.makedirs(os.path.join(work, "files", "out"))
    os.makedirs(os.path.join(work, "cwd"))
    os.chdir(os.path.join(work, "cwd"))
    targets.FILES = hostile.Scene.files = targets.Files(os.path.join(work, "files"))
    targets.FILES.cwd = os.getcwd()
    failures, late = [], []   # late: broken invariants that finalisers met between calls

    def unraisable(info):   # values freed late run their hooks between calls
        text = f"{info.exc_type.__name__}: {info.exc_value}"
        if any(mark in text for mark in targets.BROKEN_INVARIANT):
            late.append(text)
    sys.unraisablehook = unraisable
    sys.stdout = hostile.Sink()   # late hooks that re-enter the module print between calls
    targets.fitz.TOOLS.mupdf_display_errors(False)   # damaged files are the point here
    gc.collect()
    gc.freeze()   # what exists now is never garbage: collections scan only what calls make
    chosen = [n for n in os.environ.get("FUZZ_TARGETS", "").split(",") if n] or list(
        targets.TARGETS)
    tallies = {name: [0] for name in chosen}
    deadline, rounds = started + SECONDS, 0
    while time.monotonic() < deadline and not failures:
        for name in chosen:
            if time.monotonic() >= deadline:
                break
            recent = []
            trace(f"{time.monotonic() - started:.1f} s: round {rounds} of {name}")
            try:
                make_test(name, recent, tallies[name], rounds)()
            except Exception as exc:   # a broken rule, shrunk to its smallest call
                found = [exc] + list(getattr(exc, "exceptions", []))
                failures.append(f"{name} (round {rounds}): " + "\n    ".join(
                    f"{type(e).__name__}: {e}" + "".join(
                        f"\n      {note}" for note in getattr(e, "__notes__", []))
                    for e in found))
                continue
            grown = blocks_grown(recent, *targets.LEAK_CHECK.get(name, (25, 25)))
            if grown is not None:
                failures.append(f"{name} (round {rounds}): allocated blocks grew by {grown} "
                                "replaying\n    " + "\n    ".join(c.description for c in recent))
        rounds += 1
    sys.unraisablehook = lambda info: None   # what is freed at exit may still raise
    failures += [f"broken invariant in a finaliser: {text}" for text in late]
    for name, (calls,) in tallies.items():
        print(f"[fuzz] {name}: {calls} calls", file=sys.__stdout__)
    print(f"[fuzz] {rounds} rounds in {time.monotonic() - started:.0f} s", file=sys.__stdout__)
    for failure in failures:
        print(f"[fuzz] FAILED {failure}", file=sys.__stdout__)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
