"""Fuzz run: hostile hosts against pdf_module, meant for the sanitizer build
(`make fuzz`), for FUZZ_SECONDS seconds (default 120).

First the known-fault rows (known_faults.py) run, each in its own
interpreter. Then the targets of targets.py take turns in rounds until the
time is up; each round of a target is one hypothesis run of FUZZ_EXAMPLES
calls (default 40) followed by a block-count check that replays the last
calls of the round. With CI=true the first round is derandomised and round
r after it uses seed r, so a CI run is repeatable; otherwise every round
draws afresh (FUZZ_SEED=n repeats a run: round r uses seed n + r).
FUZZ_TARGETS=a,b limits the targets, FUZZ_TRACE=1 prints every call before it
runs (to find the one that crashes the process).

Exit status 0 when no rule broke; 1 otherwise, with the failing calls
(shrunk by hypothesis) printed."""

import gc
import os
import sys
import tempfile
import time
import types

sys.modules.setdefault("state", types.ModuleType("state"))
import warnings  # noqa: E402

with warnings.catch_warnings():   # off 3.12 the module warns at import
    warnings.simplefilter("ignore", RuntimeWarning)
    import pdf_module  # noqa: E402

from hypothesis import HealthCheck, Phase, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import hostile  # noqa: E402
import known_faults  # noqa: E402
import targets  # noqa: E402

CI = os.environ.get("CI") == "true"
SECONDS = float(os.environ.get("FUZZ_SECONDS", "120"))
EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "40"))
TRACE = os.environ.get("FUZZ_TRACE") == "1"


class Broken(AssertionError):
    pass


def make_test(name, recent, tally):
    target = targets.TARGETS[name]

    def body(data):
        call, judge = target(data)
        if TRACE:
            print(f"[fuzz] {name}: {call.function}", file=sys.__stderr__, flush=True)
        outcome = call.run()
        problems = judge(outcome)
        known = [p for p in problems if p.startswith("known: ")]
        problems = [p for p in problems if not p.startswith("known: ")]
        for problem in known:
            fault = problem.removeprefix("known: ").split(" (")[0]
            tally[fault] = tally.get(fault, 0) + 1
        tally["calls"] = tally.get("calls", 0) + 1
        if problems:
            raise Broken("\n".join(problems))
        recent.append(call)
        del recent[:-4]

    return given(st.data())(body)


def blocks_stay_flat(calls, count, slack):
    """True when replaying `calls` `count` times over keeps the allocated
    block count within `slack`, in one of three tries (caches that fill
    once are tolerated)."""
    def replay():
        for call in calls:
            call.run()
    replay()
    grown = None
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(count):
            replay()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        if grown <= slack:
            return True, grown
    return False, grown


def main():
    started = time.monotonic()
    sanitized = hostile.is_sanitized()
    print(f"[fuzz] pdf_module from {pdf_module.__file__}"
          f"{'' if sanitized else ' (not the sanitizer build)'}; "
          f"Python {hostile.python_version()}, "
          f"{SECONDS:.0f} s, {'derandomised (CI)' if CI else 'random'}", flush=True)
    failures = [] if os.environ.get("FUZZ_SKIP_ROWS") else known_faults.run_all()
    work = tempfile.mkdtemp(prefix="pdf-module-fuzz-")
    os.makedirs(os.path.join(work, "files", "out"))
    os.makedirs(os.path.join(work, "cwd"))
    os.chdir(os.path.join(work, "cwd"))
    targets.FILES = hostile.Scene.files = targets.Files(os.path.join(work, "files"))
    targets.FILES.cwd = os.getcwd()
    late = []   # broken invariants that finalisers met between calls

    def unraisable(info):   # values freed late run their hooks between calls
        text = f"{info.exc_type.__name__}: {info.exc_value}"
        if any(mark in text for mark in targets.BROKEN_INVARIANT):
            late.append(text)
    sys.unraisablehook = unraisable
    sys.stdout = hostile.sink()   # late hooks that re-enter the module print between calls
    targets.fitz.TOOLS.mupdf_display_errors(False)   # damaged files are the point here
    gc.collect()
    gc.freeze()   # what exists now is never garbage: collections scan only what calls make
    chosen = ([n for n in os.environ.get("FUZZ_TARGETS", "").split(",") if n]
              or list(targets.TARGETS))
    tallies = {name: {} for name in chosen}
    deadline = started + SECONDS
    rounds = 0
    while time.monotonic() < deadline and not failures:
        for name in chosen:
            if time.monotonic() >= deadline:
                break
            recent = []
            test = make_test(name, recent, tallies[name])
            test = settings(max_examples=EXAMPLES, derandomize=CI, database=None, deadline=None,
                            phases=[Phase.generate, Phase.shrink], print_blob=True,
                            suppress_health_check=list(HealthCheck))(test)
            if os.environ.get("FUZZ_SEED"):   # to repeat a run outside CI
                test = seed(int(os.environ["FUZZ_SEED"]) + rounds)(test)
            elif CI and rounds > 0:
                test = seed(rounds)(test)
            if TRACE:
                print(f"[fuzz] {time.monotonic() - started:.1f} s: round {rounds} of {name}",
                      file=sys.__stderr__, flush=True)
            try:
                test()
            except Exception as exc:   # a broken rule, shrunk to its smallest call
                found = [exc] + list(getattr(exc, "exceptions", []))
                failures.append(f"{name} (round {rounds}): " + "\n    ".join(
                    f"{type(e).__name__}: {e}" + "".join(
                        f"\n      {note}" for note in getattr(e, "__notes__", []))
                    for e in found))
                continue
            if TRACE:
                print(f"[fuzz] {time.monotonic() - started:.1f} s: block count check",
                      file=sys.__stderr__, flush=True)
            flat, grown = blocks_stay_flat(recent, *targets.LEAK_CHECK.get(name, (25, 25)))
            if not flat:
                failures.append(f"{name} (round {rounds}): allocated blocks grew by {grown} "
                                "replaying\n    " + "\n    ".join(c.description for c in recent))
        rounds += 1
    spent = time.monotonic() - started
    sys.unraisablehook = lambda info: None   # what is freed at exit may still raise
    failures += [f"broken invariant in a finaliser: {text}" for text in late]
    for name, tally in tallies.items():
        known = ", ".join(f"{k}: {v}" for k, v in tally.items() if k != "calls")
        print(f"[fuzz] {name}: {tally.get('calls', 0)} calls"
              + (f"; hits of known faults: {known}" if known else ""), file=sys.__stdout__)
    print(f"[fuzz] {rounds} rounds in {spent:.0f} s", file=sys.__stdout__)
    for failure in failures:
        print(f"[fuzz] FAILED {failure}", file=sys.__stdout__)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
