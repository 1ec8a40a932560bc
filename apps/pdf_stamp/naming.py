"""Result names: NAME.pdf gives NAME_stamped.pdf, or NAME_stamped_1.pdf,
NAME_stamped_2.pdf, ... when that name is taken. A name is taken by creating
a hard link to the finished file, which never replaces a file and never
writes through a symbolic link."""

import itertools
import os
import re

DEFAULT_SUFFIX = "_stamped"
_NUMBERED = re.compile(r"(?P<stem>.+)_(?P<n>[0-9]+)\.pdf")


def result_stem(source, suffix=DEFAULT_SUFFIX):
    """NAME<suffix> for a source NAME.pdf (any case of .pdf)."""
    name = os.path.basename(source)
    if name.lower().endswith(".pdf"):
        name = name[:-4]
    return name + suffix


def candidates(folder, stem, start=0):
    """folder/stem.pdf (when `start` is 0), then folder/stem_N.pdf from N = max(start, 1)."""
    if start == 0:
        yield os.path.join(folder, f"{stem}.pdf")
    for n in itertools.count(max(start, 1)):
        yield os.path.join(folder, f"{stem}_{n}.pdf")


def plan_names(sources, out_dir, suffix=DEFAULT_SUFFIX):
    """The result name of each source, in input order: the first candidate
    neither on disk (a dangling link counts) nor planned for an earlier input."""
    planned = set()
    names = []
    for source in sources:
        name = next(c for c in candidates(out_dir, result_stem(source, suffix))
                    if c not in planned and not os.path.lexists(c))
        planned.add(name)
        names.append(name)
    return names


def claim(temp_file, wanted):
    """Gives the finished `temp_file` the name `wanted` by a hard link, or the
    next numbered name when that one is taken meanwhile; returns the path."""
    folder, name = os.path.split(wanted)
    numbered = _NUMBERED.fullmatch(name)
    if numbered:
        names = candidates(folder, numbered["stem"], int(numbered["n"]))
    else:
        names = candidates(folder, name[:-4] if name.lower().endswith(".pdf") else name)
    for candidate in names:
        try:
            os.link(temp_file, candidate)
        except FileExistsError:
            continue
        return candidate
