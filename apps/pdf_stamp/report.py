"""What the command shows of a run: a line (or a JSON object) per file, the
skipped earlier results, a progress bar on a terminal, and the closing count."""

import json
import signal
import sys

from .i18n import _, ngettext


def _size(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(count) < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024


def describe(result):
    """The one line shown for a file."""
    if not result.ok:
        return f"{result.source}: {result.error}"
    pages = len(result.pages_stamped)
    stamped = ngettext("{count} page stamped", "{count} pages stamped", pages).format(count=pages)
    return (f"{result.source} -> {result.result}: {stamped}, "
            f"{_size(result.size_before)} -> {_size(result.size_after)} (x{result.growth:.2f})")


class Report:
    """Shows each finished file: a line (or a JSON object) and the progress bar."""

    def __init__(self, total, as_json, verbose):
        from tqdm import tqdm

        self.as_json, self.verbose = as_json, verbose
        tqdm.monitor_interval = 0  # no monitor thread in a process that starts workers
        self.bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False,
                        disable=not sys.stderr.isatty())

    def skipped(self, names):
        if self.as_json and names:
            print(json.dumps({"skipped": names}, ensure_ascii=False), flush=True)
        elif self.verbose:
            for name in names:
                print(_("skipped, an earlier result: {name}").format(name=name), flush=True)

    def __call__(self, result):
        if self.as_json:
            self.bar.write(json.dumps(result.as_dict(), ensure_ascii=False), file=sys.stdout)
        else:
            self.bar.write(describe(result), file=sys.stdout if result.ok else sys.stderr)
            for warning in result.warnings:
                self.bar.write(warning["text"], file=sys.stderr)
        sys.stdout.flush()
        self.bar.update()

    def close(self, results, skipped):
        self.bar.close()
        done = [r for r in results if r is not None]
        if results.signal:
            name = signal.Signals(results.signal).name
            print(_("Stopped by {signal}: {count} of {total} files not started").format(
                signal=name, count=len(results) - len(done), total=len(results)), file=sys.stderr)
        if not self.as_json:
            failed = sum(not r.ok for r in done)
            line = ngettext("{stamped} of {total} file stamped", "{stamped} of {total} files stamped",
                            len(results)).format(stamped=len(done) - failed, total=len(results))
            if failed:
                line += _(", {count} failed").format(count=failed)
            if skipped:
                line += _(", {count} earlier results skipped").format(count=len(skipped))
            print(line)
