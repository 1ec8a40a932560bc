"""Page rules: which pages of a document to stamp.

Pieces are separated by commas: `N`, `N-M` (both ends included), `N-` (to the
last page), `last`, `odd`, `even` and `all`; pages count from 1.
"""

import dataclasses
import re

from .exceptions import BadPageRule, PageOutOfRange

_RANGE = re.compile(r"([0-9]+)(?:(-)([0-9]+)?)?", re.ASCII)
WORDS = ("last", "odd", "even", "all")


@dataclasses.dataclass(frozen=True)
class PageRules:
    """Parsed rules: (first, last) ranges, last None meaning the document's
    end, and the words used."""

    ranges: tuple = ()
    words: frozenset = frozenset()

    def __bool__(self):
        return bool(self.ranges or self.words)

    def expand(self, page_count, source=""):
        """Sorted page numbers from 1 for a document of `page_count` pages;
        raises PageOutOfRange for a page past the end (`source` names the
        file in the message)."""
        pages = set()
        for first, last in self.ranges:
            end = page_count if last is None else last
            if max(first, end) > page_count:
                raise PageOutOfRange(max(first, end), page_count, source)
            pages.update(range(first, end + 1))
        everything = range(1, page_count + 1)
        if "all" in self.words:
            pages.update(everything)
        if "odd" in self.words:
            pages.update(everything[0::2])
        if "even" in self.words:
            pages.update(everything[1::2])
        if "last" in self.words and page_count:
            pages.add(page_count)
        return sorted(pages)


def parse_rules(text):
    """Parses rules text; raises BadPageRule naming the first bad piece.
    Empty or blank text gives no rules."""
    if not text or not text.strip():
        return PageRules()
    ranges, words = [], set()
    for piece in text.split(","):
        word = piece.strip().lower()
        if word in WORDS:
            words.add(word)
            continue
        match = _RANGE.fullmatch(word)
        first, dash, last = match.groups() if match else ("0", None, None)
        first = int(first)
        last = first if not dash else None if last is None else int(last)
        if first < 1 or (last is not None and last < first):
            raise BadPageRule(piece.strip())
        ranges.append((first, last))
    return PageRules(tuple(ranges), frozenset(words))


def every_pages(interval, page_count):
    """The pages that process_pdf's interval selects: N, 2N, 3N, ... (none
    for N <= 0); raises ValueError for text that is not a whole number."""
    if not interval:
        return []
    step = int(interval)
    return list(range(step, page_count + 1, step)) if step > 0 else []


def module_page_list(pages):
    """The comma list that process_pdf takes, e.g. "1,3,5"."""
    return ",".join(str(p) for p in pages)


def one_page(job, page_count, name, error):
    """The one page (from 1) that the job's rules select in a document of
    `page_count` pages, for a signature; raises `error` (an exception class)
    saying so when they select another number of pages."""
    from .i18n import _

    selected = set(parse_rules(job.pages).expand(page_count, name))
    selected.update(every_pages(job.every, page_count))
    if len(selected) != 1:
        raise error(_("{name}: a signature goes on one page, but the page rules "
                      "select {count}").format(name=name, count=len(selected)))
    return selected.pop()


def one_page_each(job, sources):
    """Raises UsageError unless the job's rules select exactly one page of
    every source that can be opened (the others, and a page past the end,
    fail as that file's own failure)."""
    import fitz

    from .exceptions import UsageError

    for source in sources:
        try:
            with fitz.open(source) as doc:
                count = len(doc)
            one_page(job, count, source, UsageError)
        except UsageError:
            raise
        except Exception:  # a file that cannot be read, a page past its end: its own failure
            continue
