"""Hostile hosts against pdf_module for FUZZ_SECONDS (`make fuzz`): the targets
take turns in rounds of FUZZ_EXAMPLES calls, each followed by a block-count
replay. CI=true seeds round r with r; FUZZ_TARGETS=a,b limits the targets;
FUZZ_TRACE=1 names each call before it runs. Exit 1 names the shrunk calls."""

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


def make_test(name, recent, tally, rounds):
    @settings(max_examples=EXAMPLES, derandomize=CI and rounds == 0, database=None, deadline=None,
              phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck))
    @given(st.data())
    def body(data):
        call = targets.TARGETS[name](data)
        if os.environ.get("FUZZ_TRACE") == "1":
            print(f"[fuzz] {name}: {call.function}", file=sys.__stderr__, flush=True)
        problems = call.judge(call.run())
        tally[name] = tally.get(name, 0) + 1
        if problems:
            raise AssertionError("\n".join(problems))
        recent[:] = recent[-3:] + [call]

    return seed(rounds)(body) if CI and rounds > 0 else body


def blocks_grown(calls, count, slack):
    """None if `count` replays of `calls` stay within `slack` blocks in one of three tries."""
    for call in calls:
        call.run()
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(count):
            for call in calls:
                call.run()
        gc.collect()
        if (grown := sys.getallocatedblocks() - before) <= slack:
            return None
    return grown


def main():
    started = time.monotonic()
    print(f"[fuzz] pdf_module from {pdf_module.__file__}"
          f"{'' if 'asan-site' in pdf_module.__file__ else ' (not the sanitizer build)'}; "
          f"Python {'%d.%d' % sys.version_info[:2]}, {SECONDS:.0f} s", flush=True)
    work = tempfile.mkdtemp(prefix="pdf-module-fuzz-")
    os.makedirs(os.path.join(work, "files", "out"))
    os.makedirs(os.path.join(work, "cwd"))
    os.chdir(os.path.join(work, "cwd"))
    targets.FILES = targets.Files(os.path.join(work, "files"))
    targets.FILES.cwd = os.getcwd()
    failures, late, tally = [], [], {}   # late: broken invariants that finalisers met between calls

    def unraisable(info):   # values freed late run their hooks between calls
        text = f"{info.exc_type.__name__}: {info.exc_value}"
        if any(mark in text for mark in targets.BROKEN_INVARIANT):
            late.append(text)
    sys.unraisablehook = unraisable
    sys.stdout = hostile.Sink()   # late hooks that re-enter the module print between calls
    targets.fitz.TOOLS.mupdf_display_errors(False)   # damaged files are the point here
    gc.collect()
    gc.freeze()   # what exists now is never garbage: collections scan only what calls make
    chosen = [n for n in os.environ.get("FUZZ_TARGETS", "").split(",") if n] or list(targets.TARGETS)
    rounds = 0
    while time.monotonic() < started + SECONDS and not failures:
        for name in chosen:
            recent = []
            try:
                make_test(name, recent, tally, rounds)()
            except Exception as exc:   # a broken rule, shrunk to its smallest call
                failures += [f"{name} (round {rounds}): {type(e).__name__}: {e}" + "".join(
                    f"\n      {note}" for note in getattr(e, "__notes__", []))
                    for e in [exc, *getattr(exc, "exceptions", [])]]
                break
            grown = blocks_grown(recent, *targets.LEAK_CHECK.get(name, (25, 25)))
            if grown is not None:
                failures.append(f"{name} (round {rounds}): allocated blocks grew by {grown} "
                                "replaying\n    " + "\n    ".join(c.description for c in recent))
            if time.monotonic() >= started + SECONDS:
                break
        rounds += 1
    sys.unraisablehook = lambda info: None   # what is freed at exit may still raise
    failures += [f"broken invariant in a finaliser: {text}" for text in late]
    print(f"[fuzz] {rounds} rounds in {time.monotonic() - started:.0f} s: "
          + ", ".join(f"{name} {calls} calls" for name, calls in tally.items()), file=sys.__stdout__)
    for failure in failures:
        print(f"[fuzz] FAILED {failure}", file=sys.__stdout__)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
